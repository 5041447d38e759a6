// The one way the driver brings a window to the foreground, as Chromium's
// foreground_helper does: it makes the last input event its own first.
#include "exe_driver.h"

// SetForegroundWindow's remarks let a program that is not in front set the
// foreground window if it received the last input event. So the driver makes
// the last input event its own: a hot key of this thread's, which Windows
// delivers here whatever window is in front, and which reaches no other.
static std::string MakeTheLastInputOurs() {
    const int id = 0x4C4E;
    // With the modifiers that are down as it is pressed: Wine may take one
    // for down that X released while no window of its own had the focus.
    UINT modifiers = 0;
    const struct {
        int key;
        UINT modifier;
    } held[] = {
        {VK_MENU, MOD_ALT}, {VK_CONTROL, MOD_CONTROL}, {VK_SHIFT, MOD_SHIFT}, {VK_LWIN, MOD_WIN}, {VK_RWIN, MOD_WIN}};
    for (const auto& down : held)
        if (GetAsyncKeyState(down.key) < 0) modifiers |= down.modifier;
    UINT key = VK_F24;  // a key no keyboard has; the next one down if another program holds it
    while (key >= VK_F21 && !RegisterHotKey(nullptr, id, modifiers, key)) --key;
    if (key < VK_F21) return "no hot key from F21 to F24 is free";
    INPUT input[2] = {KeyEvent(WORD(key), 0, 0), KeyEvent(WORD(key), 0, KEYEVENTF_KEYUP)};
    std::string sent = Send(2, input);
    MSG message;
    if (sent.empty() &&
        !WaitUntil([&] { return PeekMessageW(&message, nullptr, WM_HOTKEY, WM_HOTKEY, PM_REMOVE); }, 2000))
        sent = "the hot key sent to this program never arrived";
    UnregisterHotKey(nullptr, id);
    return sent;
}

std::string BringToFront(HWND window) {
    // The same way even for a window in front already, however it got there;
    // again if another window takes the foreground meanwhile.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string ours = MakeTheLastInputOurs();
        if (!ours.empty()) return ours + ": " + Describe(window) + " could not be brought to the front";
        if (SetForegroundWindow(window) && WaitUntil([&] { return GetForegroundWindow() == window; }, 1000)) {
            // Windows raises the window it brings to the foreground; Wine does not.
            SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            return "";
        }
    }
    return "Windows kept " + Describe(GetForegroundWindow()) + " in front of " + Describe(window) +
           ": nothing was sent or read";
}
