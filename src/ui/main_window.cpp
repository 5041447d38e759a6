#include "main_window.h"

#include "notice_form.h"

LRESULT CALLBACK NoticeWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        BuildNoticeForm(hwnd);
        return 0;
    case WM_COMMAND:
        OnNoticeCommand(hwnd, wParam);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = NoticeWindowProc;
    windowClass.hInstance = hInstance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);  // else the client area goes unpainted
    windowClass.lpszClassName = TEXT("LegalNoticeWindow");
    // Without a window no WM_DESTROY ever comes, so the loop would wait for ever.
    if (!RegisterClassW(&windowClass)) return 1;
    // WS_VISIBLE shows the window; the show command is left to the system.
    if (!CreateWindowExW(0, TEXT("LegalNoticeWindow"), TEXT("Настройка LegalNotice"), WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                         CW_USEDEFAULT, CW_USEDEFAULT, 340, 200, nullptr, nullptr, hInstance, nullptr))
        return 1;

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return int(message.wParam);
}
