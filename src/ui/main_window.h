// The program's entry and its one top-level window, "LegalNoticeWindow".
#pragma once

#include "platform.h"

LRESULT CALLBACK NoticeWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Returns the quit code (0) once the window is closed; 1 if the window could
// not be made or the message loop failed.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);
