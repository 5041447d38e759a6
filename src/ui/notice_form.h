// The form inside the main window: two labelled fields and the apply button.
#pragma once

#include "platform.h"

enum {
    IDC_TEXT_EDIT = 101,
    IDC_CAPTION_EDIT = 102,
    IDC_APPLY_BUTTON = 103,
};

// Set once while the form is built; null if a field could not be created.
extern HWND hTextEdit;
extern HWND hCaptionEdit;

// On WM_CREATE of the main window.
void BuildNoticeForm(HWND hwnd);
// On every WM_COMMAND of the main window; only the apply button acts.
void OnNoticeCommand(HWND hwnd, WPARAM wParam);
