// Just enough of USER32 to run the program's window code on the host: class
// registration, window creation with a synchronous WM_CREATE, one thread's
// message queue, the default close path, window text and a recording MessageBoxW.
#include <algorithm>
#include <deque>

#include "standin_control.h"

namespace standin {

std::vector<std::string> journal;
void ResetRegistry();
void ResetLoader();

namespace {

std::map<std::u16string, WNDCLASSW> classes;  // by name
std::vector<Window> windows;                  // HWND is index + 1
std::deque<MSG> queue;
std::vector<MessageBoxCall> boxes;
bool failRegisterClass, failNextGetMessage, ranDry;
std::u16string failingClass;
int failingNth, failingClassCreations;
std::function<void()> idleAction;

const char16_t* const kSystemClasses[] = {u"STATIC", u"EDIT", u"BUTTON"};

Window* Find(HWND hwnd) {
    ULONG_PTR index = reinterpret_cast<ULONG_PTR>(hwnd);
    return index >= 1 && index <= windows.size() && windows[index - 1].alive ? &windows[index - 1] : nullptr;
}

HWND HandleOf(size_t index) { return reinterpret_cast<HWND>(index + 1); }

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* window = Find(hwnd);
    return window && window->proc ? window->proc(hwnd, message, wParam, lParam) : 0;
}

}  // namespace

const std::vector<std::string>& Journal() { return journal; }

void Reset() {
    journal.clear();
    ResetRegistry();
    ResetLoader();
    classes.clear();
    windows.clear();
    queue.clear();
    boxes.clear();
    failRegisterClass = failNextGetMessage = ranDry = false;
    failingClass.clear();
    failingNth = failingClassCreations = 0;
    idleAction = nullptr;
}

const WNDCLASSW* RegisteredClass(const std::u16string& name) {
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : &it->second;
}

std::vector<HWND> AllWindows() {
    std::vector<HWND> all;
    for (size_t i = 0; i < windows.size(); ++i) all.push_back(HandleOf(i));
    return all;
}

const Window& WindowOf(HWND hwnd) { return windows.at(reinterpret_cast<ULONG_PTR>(hwnd) - 1); }

HWND ChildWithId(HWND parent, int id) {
    for (size_t i = 0; i < windows.size(); ++i)
        if (windows[i].alive && windows[i].parent == parent && windows[i].id == UINT_PTR(id)) return HandleOf(i);
    return nullptr;
}

const std::vector<MessageBoxCall>& MessageBoxes() { return boxes; }

void FailRegisterClass() { failRegisterClass = true; }
void FailCreateWindow(const std::u16string& className, int nth) {
    failingClass = className;
    failingNth = nth;
}
void FailNextGetMessage() { failNextGetMessage = true; }
void OnIdle(std::function<void()> action) { idleAction = std::move(action); }
bool QueueRanDry() { return ranDry; }

void TypeInto(HWND edit, const std::u16string& text) {
    Window& window = windows.at(reinterpret_cast<ULONG_PTR>(edit) - 1);
    window.text = text;
    Send(window.parent, WM_COMMAND, MAKEWPARAM(window.id, EN_CHANGE), reinterpret_cast<LPARAM>(edit));
}

void Click(HWND button) {
    const Window& window = WindowOf(button);
    Send(window.parent, WM_COMMAND, MAKEWPARAM(window.id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

void PostClose(HWND hwnd) { queue.push_back(MSG{hwnd, WM_CLOSE, 0, 0, 0, {0, 0}}); }

}  // namespace standin

using namespace standin;

ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass) {
    journal.push_back("RegisterClassW");
    if (failRegisterClass || classes.count(lpWndClass->lpszClassName)) return 0;
    classes[lpWndClass->lpszClassName] = *lpWndClass;
    return ATOM(0xC000 + classes.size());
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            void* /*lpParam*/) {
    std::u16string className = lpClassName;
    journal.push_back("CreateWindowExW " + Narrow(className));
    WNDPROC proc = nullptr;
    if (auto it = classes.find(className); it != classes.end())
        proc = it->second.lpfnWndProc;
    else if (std::find(std::begin(kSystemClasses), std::end(kSystemClasses), className) == std::end(kSystemClasses))
        return nullptr;
    if (className == failingClass && (failingNth == 0 || ++failingClassCreations == failingNth)) return nullptr;
    if (hWndParent && !Find(hWndParent)) return nullptr;

    windows.push_back(Window{className, lpWindowName ? lpWindowName : u"", dwExStyle, dwStyle, X, Y, nWidth, nHeight,
                             hWndParent, reinterpret_cast<UINT_PTR>(hMenu), hInstance, proc, true});
    HWND hwnd = HandleOf(windows.size() - 1);
    if (Send(hwnd, WM_CREATE, 0, 0) == -1) {
        windows.back().alive = false;
        return nullptr;
    }
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    if (!Find(hWnd)) return FALSE;
    journal.push_back("DestroyWindow");
    Send(hWnd, WM_DESTROY, 0, 0);  // the parent hears it first, then its children go
    for (size_t i = 0; i < windows.size(); ++i)
        if (windows[i].parent == hWnd) DestroyWindow(HandleOf(i));
    Find(hWnd)->alive = false;
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND /*hWnd*/, UINT /*wMsgFilterMin*/, UINT /*wMsgFilterMax*/) {
    if (failNextGetMessage) {
        failNextGetMessage = false;
        return -1;
    }
    if (queue.empty() && idleAction) idleAction();
    if (queue.empty()) {
        ranDry = true;  // a real thread would block here for ever
        return -1;
    }
    *lpMsg = queue.front();
    queue.pop_front();
    return lpMsg->message != WM_QUIT;
}

BOOL WINAPI TranslateMessage(const MSG* /*lpMsg*/) { return FALSE; }

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
    return Send(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    if (Msg == WM_CLOSE) DestroyWindow(hWnd);
    return 0;
}

void WINAPI PostQuitMessage(int nExitCode) {
    journal.push_back("PostQuitMessage");
    queue.push_back(MSG{nullptr, WM_QUIT, WPARAM(nExitCode), 0, 0, {0, 0}});
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    Window* window = Find(hWnd);
    journal.push_back("GetWindowTextW " + std::to_string(window ? window->id : 0));
    if (nMaxCount <= 0) return 0;
    int length = window ? int(std::min<size_t>(window->text.size(), size_t(nMaxCount - 1))) : 0;
    if (length) std::copy_n(window->text.data(), length, lpString);
    lpString[length] = 0;
    return length;
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
    Window* window = Find(hWnd);
    journal.push_back("GetWindowTextLengthW " + std::to_string(window ? window->id : 0));
    return window ? int(window->text.size()) : 0;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    journal.push_back("MessageBoxW");
    boxes.push_back({hWnd, lpText, lpCaption, uType});
    return IDOK;
}

HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
    if (hInstance || lpCursorName != IDC_ARROW) return nullptr;
    return reinterpret_cast<HCURSOR>(ULONG_PTR(0x10003));  // stand-in for the shared arrow
}
