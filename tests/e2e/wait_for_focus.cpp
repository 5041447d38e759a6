// wait_for_focus CLASS ID: waits until the control with ID in the top-level
// window of class CLASS has the keyboard focus, so that keys typed through X
// next reach that control. Exit code 0 once it has, 1 after 10 s.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wait_for_focus CLASS ID\n");
        return 2;
    }
    wchar_t className[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, className, 256);
    int id = std::atoi(argv[2]);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
        HWND window = FindWindowW(className, nullptr);
        HWND control = window ? GetDlgItem(window, id) : nullptr;
        GUITHREADINFO info = {sizeof info};
        if (control && GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus == control)
            return 0;
    }
    std::fprintf(stderr, "control %d of %s never got the focus\n", id, argv[1]);
    return 1;
}
