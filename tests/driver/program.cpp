// Starting the program in a job and reading its windows from outside, as
// UI automation does; and starting a command elevated or not.
#include "exe_driver.h"

#include "notice_form.h"  // the program's control IDs

#include <shellapi.h>

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"LEGALNOTICE_EXE", path, MAX_PATH) &&
        !GetFullPathNameW((OwnFolder() + L"..\\legalnotice.exe").c_str(), MAX_PATH, path, nullptr))
        return L"";
    return path;
}

static HWND FindMainWindow(DWORD pid, const wchar_t* windowClass) {
    for (HWND hwnd = nullptr; (hwnd = FindWindowExW(nullptr, hwnd, windowClass, nullptr));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        // Ours is findable before WM_CREATE has built the form.
        bool built = std::wstring(windowClass) != L"LegalNoticeWindow" || GetDlgItem(hwnd, IDC_APPLY_BUTTON);
        if (owner == pid && IsWindowVisible(hwnd) && built) return hwnd;
    }
    return nullptr;
}

bool Program::Start(const wchar_t* arguments, const std::wstring& path, const wchar_t* windowClass) {
    // In a job, so a failed check never leaves an orphan window holding the
    // test's pipes. From a driver that is not elevated, Windows refuses a
    // requireAdministrator exe with ERROR_ELEVATION_REQUIRED (740) rather
    // than asking.
    STARTUPINFOW startup = {sizeof startup};
    if ((startError = StartInJob(path, arguments, &startup, nullptr, &process, &job)) != 0) return false;
    WaitUntil([&] {
        return (main = FindMainWindow(process.dwProcessId, windowClass)) != nullptr ||
               WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;  // ended without one
    });
    return main != nullptr;
}

DWORD Program::CloseAndWait() {
    if (!process.hProcess) return STILL_ACTIVE;
    PostMessageW(main, WM_CLOSE, 0, 0);
    return WaitForExit();
}

DWORD Program::WaitForExit() {
    DWORD code = STILL_ACTIVE;
    if (process.hProcess && WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    return code;
}

Program::~Program() {
    if (process.hProcess) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (job) CloseHandle(job);  // kills whatever is still running
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256];
    return std::wstring(name, GetClassNameW(hwnd, name, 256));
}

std::wstring TextOf(HWND hwnd) {
    wchar_t text[1024];
    return std::wstring(text, GetWindowTextW(hwnd, text, 1024));
}

std::wstring EditTextOf(HWND edit) {
    wchar_t text[1024];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length))
        return L"<no answer>";
    return std::wstring(text, length);
}

bool SetEditText(HWND edit, const std::wstring& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000,
                               &result) &&
           result;
}

std::string Describe(HWND window) {
    if (!window) return "no window";
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    std::wstring program = L"?";
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process && QueryFullProcessImageNameW(process, 0, path, &length)) program = path + FolderOf(path).size();
    if (process) CloseHandle(process);
    return Utf8(ClassOf(window)) + " \"" + Utf8(TextOf(window)) + "\" of " + Utf8(program) + " (process " +
           std::to_string(pid) + ")";
}

// Starts command with this process's token or the one linked to it, as
// elevated asks: Wine 8 starts every program elevated, Wine 10, like Windows
// with UAC, only those that ask. Unlike Windows, Wine hands out the linked
// elevated token without asking.
bool StartAs(bool elevated, std::wstring command, PROCESS_INFORMATION* process) {
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
std::wstring Argument(int index) {
    int argc;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    return argv && index < argc ? argv[index] : L"";
}
