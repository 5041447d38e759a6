// window_probe focus CLASS [ID]: waits until the control with ID in the
// top-level window of class CLASS has the keyboard focus (without ID: until
// that window is the active one), so that keys typed through X next reach it.
// Exit code 0 once it has, 1 after 10 s.
// window_probe text CLASS ID: prints that control's text as UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int WaitForFocus(const wchar_t* className, const char* id) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
        HWND window = FindWindowW(className, nullptr);
        HWND control = window && id ? GetDlgItem(window, std::atoi(id)) : nullptr;
        GUITHREADINFO info = {sizeof info};
        if (window && GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) &&
            (id ? control && info.hwndFocus == control : info.hwndActive == window))
            return 0;
    }
    std::fprintf(stderr, "%ls %s never got the focus\n", className, id ? id : "");
    return 1;
}

static int PrintText(const wchar_t* className, const char* id) {
    HWND control = GetDlgItem(FindWindowW(className, nullptr), std::atoi(id));
    wchar_t text[1024];
    DWORD_PTR length = 0;
    // WM_GETTEXT: GetWindowTextW does not read another process's control.
    if (!control || !SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                                         5000, &length))
        return 1;
    char utf8[4096];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, int(length), utf8, sizeof utf8, nullptr, nullptr);
    std::fwrite(utf8, 1, bytes, stdout);
    return 0;
}

int main(int argc, char** argv) {
    bool focus = argc >= 3 && argc <= 4 && !std::strcmp(argv[1], "focus");
    bool text = argc == 4 && !std::strcmp(argv[1], "text");
    if (!focus && !text) {
        std::fprintf(stderr, "usage: window_probe focus CLASS [ID] | window_probe text CLASS ID\n");
        return 2;
    }
    wchar_t className[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, className, 256);
    return focus ? WaitForFocus(className, argc == 4 ? argv[3] : nullptr) : PrintText(className, argv[3]);
}
