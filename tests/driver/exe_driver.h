// Windows-side helpers for driving legalnotice.exe from outside, the way UI
// automation does: start it, find its windows, read them back, and use the
// mouse and keyboard as a person would. Each section below is one file.
//
// The driver's manifest (dpiAware true/pm) makes it per-monitor aware on
// Windows 8.1 and later, system-aware on Vista to 8. The exe is DPI-unaware:
// above 100 % Windows stretches its windows, and its own pixels are those
// before the stretch, which ProgramRect and RectInParent give back. What the
// geometry functions the driver calls answer it about the exe's windows:
// - GetWindowRect: physical pixels (LogicalToPhysicalPointForPerMonitorDPI's
//   remarks: of an unaware window at 200 %, a per-monitor-aware caller gets
//   the monitor's coordinates, the unaware program 96-dpi ones).
// - GetClientRect, MapWindowPoints, ClientToScreen, WindowFromPoint,
//   SetCursorPos: the caller's, so physical, by the rule of 8.1 that "the
//   system returns all points to an application in its own coordinate
//   space" (PhysicalToLogicalPoint's remarks); their own pages are silent.
// - SendInput, MOUSEEVENTF_ABSOLUTE: 0 to 65535 across the virtual desktop
//   (MOUSEINPUT's remarks), measured with GetSystemMetrics, physical by the
//   same rule; neither page says so.
// On Vista to 8, physical for a DPI-aware caller, as PhysicalToLogicalPoint's
// remarks imply; no page says so of each function.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "windows_helpers.h"

// Polls every 10 ms until condition() holds; false if it never did in time.
template <class Condition>
bool WaitUntil(Condition condition, DWORD milliseconds = 10000) {
    for (DWORD start = GetTickCount(); !condition(); Sleep(10))
        if (GetTickCount() - start > milliseconds) return false;
    return true;
}

// ---- The program (program.cpp) ----
// LEGALNOTICE_EXE if set (each build of the exe runs the same suite), else
// the legalnotice.exe one folder above the driver, as in the build tree and
// in the test bundle.
std::wstring ProgramPath();

class Program {
public:
    ~Program();
    // Started in a job, once its main window (of windowClass) is up; false if
    // it could not be started (startError), ended first, or showed no window in 10 s.
    bool Start(const wchar_t* arguments = L"", const std::wstring& path = ProgramPath(),
               const wchar_t* windowClass = L"LegalNoticeWindow");
    DWORD CloseAndWait();  // WM_CLOSE, then the exit code (or STILL_ACTIVE)
    DWORD WaitForExit();   // the exit code, or STILL_ACTIVE after 10 s
    HWND main = nullptr;
    PROCESS_INFORMATION process = {};
    DWORD startError = 0;  // CreateProcessW's error when Start failed

private:
    HANDLE job = nullptr;
};

std::vector<HWND> Children(HWND parent);  // in creation order
std::wstring ClassOf(HWND hwnd);
std::wstring TextOf(HWND hwnd);      // a top-level window or a static's own text
std::wstring EditTextOf(HWND edit);  // WM_GETTEXT across processes
// Its class, its title and its program, for messages: ConsoleWindowClass "cmd" of conhost.exe (process 42).
std::string Describe(HWND window);
bool SetEditText(HWND edit, const std::wstring& text);
// Starts command with this process's token (elevated as it is), or with
// the one linked to it, as elevated asks; false if there is none such.
bool StartAs(bool elevated, std::wstring command, PROCESS_INFORMATION* process);
std::wstring Argument(int index);  // this program's, as given, which may not be ANSI

// ---- Geometry (geometry.cpp) ----
// A window's rectangle on screen in the program's own pixels; "" or why it
// could not be converted.
std::string ProgramRect(HWND window, RECT* rect);
// A control's rectangle in its parent's client area, in the program's own
// pixels; "" or why not.
std::string RectInParent(HWND control, RECT* rect);
// How many physical pixels Windows shows for each of the window's own: 1
// unless it stretches the window; 0 if that cannot be told.
double StretchOf(HWND window);
// For the log: the scaling of the monitor the window is on, and Windows' stretch of it.
std::string Scaling(HWND window);
// "" if the window is stretched by the monitor's scaling, as Windows 8 and
// later and Wine 9.17 and later stretch a DPI-unaware window; Wine before
// 9.17 never stretches. Otherwise what the stretch is, and should be.
std::string UnexpectedStretch(HWND window);

// ---- The foreground (foreground.cpp), and what the screen shows (screen.cpp) ----
// Windows lets a program bring a window to the foreground only in the cases
// SetForegroundWindow's remarks list; otherwise a new window opens behind the
// one in front (on a hosted runner, its console). Nothing here relies on a
// window coming to the front by itself: each function below that reads the
// screen or sends input brings its window forward first, and checks that
// each point it reads or clicks shows that window.
// "" once window (top-level) is the foreground window, else why not.
std::string BringToFront(HWND window);
// "" once window shows at each physical point (brought forward first), else
// what shows there; InFrontOver checks a rectangle's corners and middle.
std::string InFrontAt(HWND window, std::initializer_list<POINT> points);
std::string InFrontOver(HWND window, const RECT& rect);
std::string ShownAt(HWND window, POINT point);  // the same, without bringing it forward

// Each of these returns why it could not look, or "".
// What the screen shows of window at a physical point, waiting up to 2 s for the expected colour.
std::string ScreenPixel(HWND window, POINT point, COLORREF expected, COLORREF* seen);
// Moves the pointer to a physical point on window; the cursor its thread shows there.
std::string CursorOver(HWND window, POINT point, HCURSOR* cursor);
// What the screen shows of the window, as a 24-bit BMP file.
std::string SaveScreenPicture(HWND window, const std::wstring& path);

// ---- The system's message box (message_box.cpp) ----
// Its parts, found by class and style, never by the control IDs of the
// system's dialog template, which differ between Windows and Wine.
struct MessageBoxParts {
    HWND icon;    // the Static with SS_ICON
    HWND text;    // the other Static
    HWND button;  // the Button; an MB_OK box has only one
};
MessageBoxParts PartsOf(HWND box);

struct MessageBoxSeen {
    HWND box;
    std::wstring title;
    std::wstring text;
    UINT icon;           // MB_ICONERROR, MB_ICONINFORMATION, ... as matched on screen; ~0u if none matched
    std::string unseen;  // why the icon could not be read off the screen, if it could not
    bool ownerDisabled;
    HWND button;
};
// The icons a message box may show: MB_ICON... and the system icon (IDI_...).
extern const std::pair<UINT, const wchar_t*> kBoxIcons[4];
// A system icon (IDI_...) at x, y in dc, width × height, from its frame of
// that size or the nearest, as Windows picks a frame.
void DrawSystemIcon(HDC dc, const wchar_t* icon, int x, int y, int width, int height);
// Which system icon window shows in rect (physical pixels), as MB_ICONERROR,
// MB_ICONINFORMATION, ... or ~0u unless one clearly matches. Brings window
// forward first; "" or why it could not look.
std::string IconOnScreen(HWND window, const RECT& rect, UINT* icon);
// Waits for a message box owned by owner, and brings it forward to read its
// icon; box is null if none came.
MessageBoxSeen WaitForMessageBox(HWND owner, DWORD milliseconds = 10000);
bool AnyMessageBox(HWND owner);
bool DismissMessageBox(HWND box);  // clicks its button; false if it stays

// Clicks the apply button, reads the box that follows and dismisses it.
MessageBoxSeen PressApply(HWND main);

// ---- A person at the mouse and keyboard, through SendInput (input.cpp) ----
// Each returns why nothing was sent, or "" once it has sent its input. Each
// brings its window forward first; a click must then land on the control,
// and keys go only to the foreground window: if another window comes to the
// front meanwhile, nothing more is sent.
std::string ClickMiddleOf(HWND control);
std::string TypeText(HWND window, const std::wstring& text);           // each UTF-16 unit as KEYEVENTF_UNICODE
std::string PressKeys(HWND window, std::initializer_list<WORD> keys);  // down in order, up in reverse
// Waits until control's window is the foreground window and the keyboard
// focus is on control (for a top-level window: until it is the foreground
// window), as a person waits to see the caret before typing.
std::string WaitForFocus(HWND control);  // "" once it has, else what has it
INPUT KeyEvent(WORD key, WORD unit, DWORD flags);
std::string Send(UINT count, INPUT* input);  // "" once all the events went in, else why not

// ---- DLL search (remote_load.cpp) ----
// Has the DLL tests/e2e/planted_probe.cpp been loaded into that process?
bool ProbeLoadedIn(DWORD pid);
// Makes the process call LoadLibraryW(name) on a thread of its own, as
// Windows does when it loads a DLL on a program's behalf: kRan once that
// thread has ended, kFailed if it could not be made, kNoAnswer if the process
// never took the request up (a fault of Wine's, which then leaves the
// program hung).
enum class RemoteCall { kRan, kFailed, kNoAnswer };
RemoteCall LoadLibraryInto(HANDLE process, const std::wstring& name);
