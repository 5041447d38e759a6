// window_probe focus CLASS [ID]: waits until the control with ID in the
// top-level window of class CLASS has the keyboard focus (without ID: until
// that window is the foreground one), so that keys typed through X next
// reach it. ID "button" is a message box's button, found as the end-to-end
// driver finds it. Exit code 0 once it has, 1 after 10 s.
// window_probe text CLASS ID: prints that control's text as UTF-8.
// window_probe state: prints the whole Winlogon key, a line for each key's
// security (SDDL, then its bytes in hex) and for each value (text, or its
// bytes in hex).
// window_probe sandbox FILE: under Wine, a stand-in for Windows Sandbox, which
// the association of .wsb files opens: starts FILE's logon command elevated,
// and returns at once, as Windows Sandbox does. Its folders are mapped already.
// window_probe roomy-dacl: gives the Winlogon key's DACL 64 bytes of spare
// room past its entries, as some keys' DACLs are stored on Windows.
// window_probe elevated|unelevated COMMAND: runs COMMAND as an administrator's
// programs run once UAC has elevated them, or before; exits with its exit code.
// window_probe hold-foreground FILE: under Wine, a stand-in for Windows'
// rule on the foreground (SetForegroundWindow's remarks), which Wine does not
// have: like an administrator's console, a window that covers the screen
// holds the foreground, and a window that takes it without input since the
// window appeared is put back behind it, as Windows would have left it (each
// time, a line naming that window goes to FILE); the foreground window is
// kept above the others, as Windows keeps it. Runs until it is killed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "exe_driver.h"  // first: windows.h, which shellapi.h needs

#include <shellapi.h>

static HWND Control(const wchar_t* className, const char* id) {
    HWND window = FindWindowW(className, nullptr);
    if (!window || !id) return window;
    return std::strcmp(id, "button") == 0 ? PartsOf(window).button : GetDlgItem(window, std::atoi(id));
}

static int WaitForFocusOf(const wchar_t* className, const char* id) {
    HWND control = nullptr;
    std::string why = "there is no such window";
    if (WaitUntil([&] { return (control = Control(className, id)) != nullptr; }) &&
        (why = WaitForFocus(control)).empty())
        return 0;
    std::fprintf(stderr, "%ls %s never got the focus: %s\n", className, id ? id : "", why.c_str());
    return 1;
}

static int PrintText(const wchar_t* className, const char* id) {
    HWND control = Control(className, id);
    if (!control) return 1;
    std::string text = Utf8(EditTextOf(control));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

static std::string Hex(const std::vector<BYTE>& data) {
    std::string hex;
    char byte[4];
    for (BYTE value : data) hex += (std::snprintf(byte, 4, "%02x", value), byte);
    return hex;
}

static int PrintWinlogonState() {
    KeyPicture picture = PictureOfWinlogon();
    for (const auto& [entry, data] : picture) {
        std::string shown;
        DWORD type = REG_NONE;
        if (data.size() >= 4) std::memcpy(&type, data.data(), 4);
        if (entry.ends_with(L" (security)")) {
            shown = Utf8(Sddl(data.data(),
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) +
                    " " + Hex(data);
        } else if (type == REG_SZ) {  // the terminator shown as \0, like any other NUL
            std::wstring text;
            for (size_t at = 4; at + 1 < data.size(); at += 2) {
                wchar_t unit = wchar_t(data[at] | data[at + 1] << 8);
                text += unit ? std::wstring(1, unit) : L"\\0";
            }
            shown = "\"" + Utf8(text) + "\"";
        } else {
            shown = Hex(data);
        }
        std::printf("%s = %s\n", Utf8(entry).c_str(), shown.c_str());
    }
    return picture.empty() ? 1 : 0;
}

static int GiveTheDaclRoom() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS) return 1;
    std::vector<BYTE> saved = KeySecurity(key);
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted;
    SECURITY_DESCRIPTOR descriptor;
    bool given = !saved.empty() && GetSecurityDescriptorDacl(saved.data(), &present, &dacl, &defaulted) && dacl;
    if (given) {
        std::vector<BYTE> roomy(dacl->AclSize + 64, 0);
        std::memcpy(roomy.data(), dacl, dacl->AclSize);
        reinterpret_cast<PACL>(roomy.data())->AclSize = WORD(roomy.size());
        given = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(roomy.data()), FALSE) &&
                RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return given ? 0 : 1;
}

// Starts command with this process's token or the one linked to it, as
// elevated asks: Wine 8 starts every program elevated, Wine 10, like Windows
// with UAC, only those that ask. Unlike Windows, Wine hands out the linked
// elevated token without asking.
static bool StartAs(bool elevated, std::wstring command, PROCESS_INFORMATION* process) {
    HANDLE token, primary;
    TOKEN_ELEVATION_TYPE type = TOKEN_ELEVATION_TYPE(0xdeadbeef);
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token) ||
        !GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) ||
        (type != TokenElevationTypeFull && type != TokenElevationTypeLimited))
        return false;
    const bool own = (type == TokenElevationTypeFull) == elevated;
    if (!own && !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) return false;
    STARTUPINFOW startup = {sizeof startup};
    return DuplicateTokenEx(own ? token : linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                            TokenPrimary, &primary) &&
           CreateProcessAsUserW(primary, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                process);
}

// The program's arguments as given, which may not be ANSI (a folder in Cyrillic).
static std::wstring Argument(int index) {
    int argc;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    return argv && index < argc ? argv[index] : L"";
}

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

static int RunAs(bool elevated) {
    PROCESS_INFORMATION process;
    if (!StartAs(elevated, Argument(2), &process)) return 125;
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    return int(code);
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
        if (look && front) {
            HWND top = GetTopWindow(nullptr);
            while (top && !IsWindowVisible(top)) top = GetWindow(top, GW_HWNDNEXT);
            if (top != front) SetWindowPos(front, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        inputBefore = input.dwTime;
        Sleep(activationIsInput ? 1 : 10);
    }
}

int main(int argc, char** argv) {
    if (argc == 2 && !std::strcmp(argv[1], "state")) return PrintWinlogonState();
    if (argc == 2 && !std::strcmp(argv[1], "roomy-dacl")) return GiveTheDaclRoom();
    if (argc == 3 && !std::strcmp(argv[1], "sandbox")) return StandInSandbox();
    if (argc == 3 && !std::strcmp(argv[1], "elevated")) return RunAs(true);
    if (argc == 3 && !std::strcmp(argv[1], "unelevated")) return RunAs(false);
    if (argc == 3 && !std::strcmp(argv[1], "hold-foreground")) return HoldForeground(argv[2]);
    bool focus = argc >= 3 && argc <= 4 && !std::strcmp(argv[1], "focus");
    bool text = argc == 4 && !std::strcmp(argv[1], "text");
    if (!focus && !text) {
        std::fprintf(stderr,
                     "usage: window_probe focus CLASS [ID|button] | text CLASS ID | state | elevated|unelevated "
                     "COMMAND | hold-foreground FILE | roomy-dacl | sandbox FILE\n");
        return 2;
    }
    std::wstring className = Wide(argv[2]);
    const char* id = argc == 4 ? argv[3] : nullptr;
    return focus ? WaitForFocusOf(className.c_str(), id) : PrintText(className.c_str(), id);
}
