#include "main_window.h"

#include <string.h>  // memcpy

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
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// An elevated program usually starts from Downloads, and Windows loads some
// DLLs into it later by bare name, which searches the exe's own folder first:
// a DLL planted there under such a name would run with administrator rights.
// Nothing is shown if this fails: the window works either way.
static void LoadDllsFromSystem32Only() {
    // Looked up, not imported: Windows 6.0 and 6.1 have it only with an
    // update (KB2533623), and a missing import would stop the exe starting.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesProc)(DWORD);
    SetDefaultDllDirectoriesProc setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(TEXT("kernel32.dll")), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;

    SetDllDirectoryW(TEXT(""));  // takes the current directory out of the search
    // The exe's folder is still searched first, so load from System32 now
    // what a window like ours gets loaded later by bare name on 6.0 and 6.1,
    // none of it a KnownDLL: the theme engine and the DWM client for the
    // frame, and VERSION and CRYPTBASE for other system DLLs. A later
    // bare-name load then finds the module already loaded. The altered
    // search path looks for each one's own dependencies in System32 first,
    // not in the exe's folder.
    const LPCWSTR lateLoadedDlls[] = {TEXT("\\uxtheme.dll"), TEXT("\\dwmapi.dll"), TEXT("\\version.dll"),
                                      TEXT("\\cryptbase.dll")};
    WCHAR path[MAX_PATH];
    UINT directoryLength = GetSystemDirectoryW(path, MAX_PATH - 16);  // room for the longest name
    if (directoryLength == 0 || directoryLength >= MAX_PATH - 16) return;
    for (LPCWSTR name : lateLoadedDlls) {
        memcpy(path + directoryLength, name, (lstrlenW(name) + 1) * sizeof(WCHAR));  // with the terminator
        LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    LoadDllsFromSystem32Only();  // before anything can load a DLL on our behalf

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
