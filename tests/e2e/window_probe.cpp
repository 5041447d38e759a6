// window_probe focus CLASS [ID]: waits until the control with ID in the
// top-level window of class CLASS has the keyboard focus (without ID: until
// that window is the active one), so that keys typed through X next reach it.
// Exit code 0 once it has, 1 after 10 s.
// window_probe text CLASS ID: prints that control's text as UTF-8.
// window_probe security: prints the Winlogon key's owner, group and DACL (SDDL).
// window_probe unelevated COMMAND: runs COMMAND with this process's linked,
// unelevated token, as an administrator's programs run before UAC elevates
// them; exits with its exit code.
#include <windows.h>
#include <sddl.h>

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

static int PrintWinlogonSecurity() {
    HKEY key;
    BYTE descriptor[4096];
    DWORD size = sizeof descriptor;
    const SECURITY_INFORMATION whole =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    LPSTR sddl = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", 0, READ_CONTROL,
                      &key) != ERROR_SUCCESS)
        return 1;
    bool read =
        RegGetKeySecurity(key, whole, descriptor, &size) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, whole, &sddl, nullptr);
    RegCloseKey(key);
    if (read) std::printf("%s\n", sddl);
    return read ? 0 : 1;
}

static int RunUnelevated(const char* command) {
    HANDLE token, primary;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size, code = 1;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size) ||
        !DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        return 125;
    wchar_t commandLine[4096];
    MultiByteToWideChar(CP_ACP, 0, command, -1, commandLine, 4096);
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessAsUserW(primary, nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &process))
        return 126;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    return int(code);
}

int main(int argc, char** argv) {
    if (argc == 2 && !std::strcmp(argv[1], "security")) return PrintWinlogonSecurity();
    if (argc == 3 && !std::strcmp(argv[1], "unelevated")) return RunUnelevated(argv[2]);
    bool focus = argc >= 3 && argc <= 4 && !std::strcmp(argv[1], "focus");
    bool text = argc == 4 && !std::strcmp(argv[1], "text");
    if (!focus && !text) {
        std::fprintf(stderr, "usage: window_probe focus CLASS [ID] | text CLASS ID | security | unelevated COMMAND\n");
        return 2;
    }
    wchar_t className[256];
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, className, 256);
    return focus ? WaitForFocus(className, argc == 4 ? argv[3] : nullptr) : PrintText(className, argv[3]);
}
