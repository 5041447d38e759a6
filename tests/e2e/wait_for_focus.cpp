// wait_for_focus CLASS [ID]: waits until the control with ID in the top-level
// window of class CLASS has the keyboard focus (without ID: until that window
// is the active one), so that keys typed through X next reach it. Exit code 0
// once it has, 1 after 10 s.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: wait_for_focus CLASS [ID]\n");
        return 2;
    }
    wchar_t className[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, className, 256);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
        HWND window = FindWindowW(className, nullptr);
        HWND control = window && argc == 3 ? GetDlgItem(window, std::atoi(argv[2])) : nullptr;
        GUITHREADINFO info = {sizeof info};
        if (window && GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) &&
            (argc == 3 ? control && info.hwndFocus == control : info.hwndActive == window))
            return 0;
    }
    std::fprintf(stderr, "%s %s never got the focus\n", argv[1], argc == 3 ? argv[2] : "");
    return 1;
}
