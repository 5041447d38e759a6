// The floor for the start-up benchmark: the least a Win32 program with one
// window can do. One class, one empty 340x200 window, the message loop.
#include <windows.h>

static LRESULT CALLBACK FloorWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = FloorWindowProc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = L"FloorWindow";
    RegisterClassW(&windowClass);
    CreateWindowExW(0, L"FloorWindow", L"Floor", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, 340,
                    200, nullptr, nullptr, hInstance, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return int(message.wParam);
}
