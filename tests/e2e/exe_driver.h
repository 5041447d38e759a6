// Windows-side helpers for driving legalnotice.exe from outside, the way UI
// automation does: start it, find its windows, read them back, and read the
// registry raw.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "winlogon_probe.h"

// ---- Registry ----
struct KeyState {
    bool exists;
    KeySnapshot values;
    std::vector<std::wstring> subkeys;
    bool operator==(const KeyState&) const = default;
};
KeyState ReadWinlogon();
// RegQueryValueExW with a poisoned type and canary bytes past the buffer.
RawValue QueryWinlogonValue(const wchar_t* name);
void RestoreNoticeValues(const KeyState& before);

// Moves the whole Winlogon key aside for one test and puts it back after.
class WinlogonKeyAside {
public:
    WinlogonKeyAside();
    ~WinlogonKeyAside();
    bool ok;

private:
    bool copied;
};

// ---- The program ----
std::wstring ProgramPath();                       // the exe under test
std::wstring FolderOf(const std::wstring& path);  // with a trailing backslash
std::wstring DriverFolder();

class Program {
public:
    ~Program();
    // Started in a job, once its main window (of windowClass) is up.
    bool Start(const wchar_t* arguments = L"", const std::wstring& path = ProgramPath(),
               const wchar_t* windowClass = L"LegalNoticeWindow");
    DWORD CloseAndWait();  // WM_CLOSE, then the exit code (or STILL_ACTIVE)
    HWND main = nullptr;
    PROCESS_INFORMATION process = {};

private:
    HANDLE job = nullptr;
};

std::vector<HWND> Children(HWND parent);  // in creation order
std::wstring ClassOf(HWND hwnd);
std::wstring TextOf(HWND hwnd);      // a top-level window or a static's own text
std::wstring EditTextOf(HWND edit);  // WM_GETTEXT across processes
bool SetEditText(HWND edit, const std::wstring& text);
RECT RectInParent(HWND control);
// As shown on screen, waiting up to 2 s for it to become the expected colour.
COLORREF ClientPixel(HWND hwnd, POINT point, COLORREF expected);
// Moves the pointer there; the cursor the window's thread shows, or null.
HCURSOR CursorOver(HWND hwnd, POINT point);

struct MessageBoxSeen {
    HWND box;
    std::wstring title;
    std::wstring text;
    UINT icon;  // MB_ICONERROR, MB_ICONINFORMATION, ... as matched on screen; ~0u if none matched
    bool ownerDisabled;
};
// Waits for a message box owned by owner; box is null if none came.
MessageBoxSeen WaitForMessageBox(HWND owner, DWORD milliseconds = 10000);
bool AnyMessageBox(HWND owner);
void DismissMessageBox(HWND box);

// Clicks the apply button, reads the box that follows and dismisses it.
MessageBoxSeen PressApply(HWND main);

// ---- DLL search ----
// Has the DLL tests/e2e/planted_probe.cpp been loaded into that process?
bool ProbeLoadedIn(DWORD pid);
// Makes the process call LoadLibraryW(name) on a thread of its own, as
// Windows does when it loads a DLL on a program's behalf. False if no such
// thread could be run.
bool LoadLibraryInto(HANDLE process, const std::wstring& name);
