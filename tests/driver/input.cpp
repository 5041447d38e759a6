// A person at the mouse and keyboard, through SendInput: each input goes
// only where the window it is meant for shows, or has the foreground.
#include "exe_driver.h"

// Why keys would not reach window, or "".
static std::string NotInForeground(HWND window) {
    HWND foreground = GetForegroundWindow();
    return foreground == window ? ""
                                : "the foreground window is " + Describe(foreground) + ", not " + Describe(window) +
                                      ": nothing was sent";
}

std::string Send(UINT count, INPUT* input) {
    return SendInput(count, input, sizeof(INPUT)) == count ? ""
                                                           : "SendInput was blocked: " + std::to_string(GetLastError());
}

INPUT KeyEvent(WORD key, WORD unit, DWORD flags) {
    INPUT event = {};
    event.type = INPUT_KEYBOARD;
    event.ki.wVk = key;
    event.ki.wScan = unit;
    event.ki.dwFlags = flags;
    return event;
}

std::string ClickMiddleOf(HWND control) {
    const HWND window = GetAncestor(control, GA_ROOT);
    RECT rect;
    GetWindowRect(control, &rect);
    const POINT middle = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    // Absolute positions are in 0..65535 across the whole virtual desktop, in
    // physical pixels like the control's rectangle.
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    INPUT input[3] = {};
    for (INPUT& event : input) event.type = INPUT_MOUSE;
    input[0].mi.dx = ((middle.x - left) * 65536 + width - 1) / width;
    input[0].mi.dy = ((middle.y - top) * 65536 + height - 1) / height;
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    auto there = [&] {
        POINT at;
        return GetCursorPos(&at) && at.x == middle.x && at.y == middle.y;
    };
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {  // again if another window takes the front meanwhile
        if (!(why = InFrontAt(window, {middle})).empty()) return why;
        // As a person does: the pointer first, then the click once it is
        // there and stays there (sent together, a loaded machine may take the
        // click where the pointer was; a window raised under the pointer may
        // have Wine put it back where X last saw it).
        bool stayed = false;
        for (int move = 0; move < 3 && !stayed; ++move) {
            if (!(why = Send(1, input)).empty()) return why;
            stayed = WaitUntil(there, 2000) && (Sleep(100), there());
        }
        if (!stayed) return "the pointer did not stay on the control: nothing was clicked";
        HWND under = nullptr;
        if (WaitUntil([&] { return (under = WindowFromPoint(middle)) == control; }, 1000))  // once it has come up
            return Send(2, input + 1);
        why = "the point to click shows " + Describe(under) + ", not the control: nothing was clicked";
        if (GetForegroundWindow() == window) return why;
    }
    return why;
}

std::string TypeText(HWND window, const std::wstring& text) {
    std::string front = BringToFront(window);
    if (!front.empty()) return front;
    for (wchar_t unit : text) {
        std::string elsewhere = NotInForeground(window);
        if (!elsewhere.empty()) return elsewhere;
        INPUT input[2] = {KeyEvent(0, unit, KEYEVENTF_UNICODE), KeyEvent(0, unit, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP)};
        std::string sent = Send(2, input);
        if (!sent.empty()) return sent;
        Sleep(5);  // a fast typist, not a paste
    }
    return "";
}

std::string PressKeys(HWND window, std::initializer_list<WORD> keys) {
    std::vector<INPUT> input;
    for (WORD key : keys) input.push_back(KeyEvent(key, 0, 0));
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key)
        input.push_back(KeyEvent(*key, 0, KEYEVENTF_KEYUP));
    std::string front = BringToFront(window);
    return front.empty() ? Send(UINT(input.size()), input.data()) : front;
}

std::string WaitForFocus(HWND control) {
    HWND window = GetAncestor(control, GA_ROOT);
    DWORD thread = GetWindowThreadProcessId(control, nullptr);
    GUITHREADINFO info = {sizeof info};
    if (WaitUntil([&] {
            return GetForegroundWindow() == window &&
                   (control == window || (GetGUIThreadInfo(thread, &info) && info.hwndFocus == control));
        }))
        return "";
    return "after 10 s the foreground window is " + Describe(GetForegroundWindow()) + " and the focus is on " +
           Describe(GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr) + ", not " + Describe(control);
}
