// wine_standins: under Wine, stand-ins for what Windows has and Wine lacks,
// so that the bundle's test meets them as it would on Windows.
// wine_standins sandbox FILE: a stand-in for Windows Sandbox, which the
// association of .wsb files opens: starts FILE's logon command elevated, and
// returns at once, as Windows Sandbox does. Its folders are mapped already.
// wine_standins hold-foreground FILE: a stand-in for Windows'
// rule on the foreground (SetForegroundWindow's remarks), which Wine does not
// have: like an administrator's console, a window that covers the screen
// holds the foreground, and a window that takes it without input since the
// window appeared is put back behind it, as Windows would have left it (each
// time, a line naming that window goes to FILE); the foreground window is
// kept above the others, as Windows keeps it. Runs until it is killed.
#include <cstdio>
#include <cstring>
#include <map>

#include "exe_driver.h"

static int StandInSandbox() {
    FILE* file = _wfopen(Argument(2).c_str(), L"rb");
    std::string text;
    for (int c; file && (c = std::fgetc(file)) != EOF;) text += char(c);
    if (file) std::fclose(file);
    size_t start = text.find("<Command>"), end = text.find("</Command>");
    PROCESS_INFORMATION process;
    if (start == std::string::npos || end < start ||
        !StartAs(true, Wide(text.substr(start + 9, end - start - 9)), &process))
        return 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

static LRESULT CALLBACK HolderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

static void Foreground(HWND window, FILE* log) {
    if (!SetForegroundWindow(window)) std::fprintf(log, "could not bring %s to the front\n", Describe(window).c_str());
}

static int HoldForeground(const char* logPath) {
    WNDCLASSW type = {};
    type.lpfnWndProc = HolderProc;
    type.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    type.lpszClassName = L"StandInConsole";
    RegisterClassW(&type);
    HWND holder = CreateWindowExW(0, L"StandInConsole", L"Администратор: командная строка", WS_POPUP | WS_VISIBLE, 0, 0,
                                  GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                  nullptr, nullptr);
    FILE* log = std::fopen(logPath, "a");
    if (!holder || !log) return 1;
    std::setvbuf(log, nullptr, _IONBF, 0);
    Foreground(holder, log);
    // Wine 10 counts its own activation of a window as input. There the input
    // that counts is what came before the window took the foreground: read
    // every millisecond, before the foreground window, what the last round
    // read came before a window newly in front. Under Wine 8, all that came.
    const bool activationIsInput = WineRelease() >= 900;
    std::map<HWND, DWORD> firstSeen;  // top-level windows, and when each was first seen
    HWND front = holder;
    DWORD inputBefore = 0, looked = GetTickCount() - 10;
    for (;;) {
        LASTINPUTINFO input = {sizeof input};
        GetLastInputInfo(&input);
        HWND shown = GetForegroundWindow(), now = shown == GetDesktopWindow() ? nullptr : shown;  // Wine's "none"
        const bool look = GetTickCount() - looked >= 10;
        if (look) {
            looked = GetTickCount();
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            EnumWindows(
                [](HWND window, LPARAM seen) {
                    reinterpret_cast<std::map<HWND, DWORD>*>(seen)->emplace(window, GetTickCount());
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&firstSeen));
            std::erase_if(firstSeen, [](const auto& entry) { return !IsWindow(entry.first); });
        }
        if (now != front) {
            auto seen = firstSeen.find(now);
            // When it was first seen, less what the rounds between two looks can miss.
            DWORD appeared = (seen == firstSeen.end() ? GetTickCount() : seen->second) - 50;
            front = now;
            if (now != holder && (!now || int((activationIsInput ? inputBefore : input.dwTime) - appeared) < 0)) {
                Foreground(holder, log);
                // Under Wine 8, input that came while this was decided lets the window through after all.
                LASTINPUTINFO since = {sizeof since};
                if (!activationIsInput && now && GetLastInputInfo(&since) && since.dwTime != input.dwTime) {
                    Foreground(now, log);
                } else {
                    if (now) std::fprintf(log, "took the foreground back from %s\n", Describe(now).c_str());
                    front = holder;
                }
            }
        }
        // Windows keeps the foreground window above the others; Wine does not.
        // Wine restacks a window on its own thread, whose requests to X then
        // stay in order with that program's: so a window is put below the
        // holder, never the holder raised over it from here, which X might
        // take after the program raised its window again, and show the holder
        // where Wine says the window is.
        if (look && front) {
            HWND top = GetTopWindow(nullptr);
            while (top && !IsWindowVisible(top)) top = GetWindow(top, GW_HWNDNEXT);
            const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
            if (top && top != front)
                SetWindowPos(front == holder ? top : front, front == holder ? HWND_BOTTOM : HWND_TOP, 0, 0, 0, 0, keep);
        }
        inputBefore = input.dwTime;
        Sleep(activationIsInput ? 1 : 10);
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "sandbox")) return StandInSandbox();
    if (argc == 3 && !std::strcmp(argv[1], "hold-foreground")) return HoldForeground(argv[2]);
    std::fprintf(stderr, "usage: wine_standins sandbox FILE | hold-foreground FILE\n");
    return 2;
}
