#include "exe_driver.h"

#include <cstring>

static const wchar_t kBackupPath[] = L"SOFTWARE\\LegalNoticeTestBackup";

template <class Condition>
static bool WaitUntil(Condition condition, DWORD milliseconds = 10000) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(10);
    }
    return true;
}

// ---- Registry ----

KeyState ReadWinlogon() {
    KeyState state{false, SnapshotWinlogon(), {}};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return state;
    state.exists = true;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        state.subkeys.push_back(std::wstring(name, nameLength));
    }
    RegCloseKey(key);
    return state;
}

RawValue QueryWinlogonValue(const wchar_t* name) {
    RawValue value{0xdeadbeef, {}};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return value;
    BYTE buffer[1024 + 4];
    std::memset(buffer, 0xCC, sizeof buffer);
    DWORD size = 1024, type = 0xdeadbeef;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer, &size) == ERROR_SUCCESS && size <= 1024 &&
        buffer[size] == 0xCC && buffer[size + 1] == 0xCC)  // nothing written past the reported size
        value = RawValue{type, std::vector<BYTE>(buffer, buffer + size)};
    RegCloseKey(key);
    return value;
}

void RestoreNoticeValues(const KeyState& before) {
    RestoreWinlogon(before.values, L"LegalNoticeText");
    RestoreWinlogon(before.values, L"LegalNoticeCaption");
}

WinlogonKeyAside::WinlogonKeyAside() : ok(false), copied(false) {
    HKEY backup;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &backup, nullptr))
        return;
    copied = RegCopyTreeW(HKEY_LOCAL_MACHINE, kWinlogonPath, backup) == ERROR_SUCCESS;
    ok = copied && RegDeleteTreeW(HKEY_LOCAL_MACHINE, kWinlogonPath) == ERROR_SUCCESS;
    RegCloseKey(backup);
}

WinlogonKeyAside::~WinlogonKeyAside() {
    if (!copied) return;  // nothing was moved, and the backup cannot be trusted
    HKEY key;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kWinlogonPath);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return;
    RegCopyTreeW(HKEY_LOCAL_MACHINE, kBackupPath, key);
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBackupPath);
}

// ---- The program ----

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring DriverFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return FolderOf(path);
}

// LEGALNOTICE_EXE if set (each build of the exe runs the same suite), else
// the one beside this driver.
std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    if (GetEnvironmentVariableW(L"LEGALNOTICE_EXE", path, MAX_PATH)) return path;
    return DriverFolder() + L"legalnotice.exe";
}

static HWND FindMainWindow(DWORD pid, const wchar_t* windowClass) {
    for (HWND hwnd = nullptr; (hwnd = FindWindowExW(nullptr, hwnd, windowClass, nullptr));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        // Ours is findable before WM_CREATE has built the form.
        bool built = std::wstring(windowClass) != L"LegalNoticeWindow" || GetDlgItem(hwnd, 103);
        if (owner == pid && IsWindowVisible(hwnd) && built) return hwnd;
    }
    return nullptr;
}

bool Program::Start(const wchar_t* arguments, const std::wstring& path, const wchar_t* windowClass) {
    // A job that kills the child when the driver goes, so a failed check
    // never leaves an orphan window holding the test's pipes.
    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process))
        return false;
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitUntil([&] { return (main = FindMainWindow(process.dwProcessId, windowClass)) != nullptr; });
    return main != nullptr;
}

DWORD Program::CloseAndWait() {
    if (!process.hProcess) return STILL_ACTIVE;
    PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
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

RECT RectInParent(HWND control) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

COLORREF ClientPixel(HWND hwnd, POINT point, COLORREF expected) {
    ClientToScreen(hwnd, &point);
    HDC screen = GetDC(nullptr);
    COLORREF color;
    WaitUntil([&] { return (color = GetPixel(screen, point.x, point.y)) == expected; }, 2000);  // once painted
    ReleaseDC(nullptr, screen);
    return color;
}

// Cursor handles do not cross processes, and each thread keeps its own
// cursor: read the one the program's thread set for the pointer over it.
HCURSOR CursorOver(HWND hwnd, POINT point) {
    ClientToScreen(hwnd, &point);
    SetForegroundWindow(hwnd);
    SetCursorPos(point.x + 1, point.y);
    SetCursorPos(point.x, point.y);
    CURSORINFO info = {sizeof info};
    WaitUntil([&] { return GetCursorInfo(&info) && info.hCursor; }, 2000);
    return info.hCursor;
}

static HWND FindMessageBox(HWND owner) {
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(owner, &pid);
    struct Search {
        HWND owner, found;
    } search{owner, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND hwnd, LPARAM context) {
            Search* search = reinterpret_cast<Search*>(context);
            if (ClassOf(hwnd) == L"#32770" && GetWindow(hwnd, GW_OWNER) == search->owner && IsWindowVisible(hwnd)) {
                search->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool AnyMessageBox(HWND owner) { return FindMessageBox(owner) != nullptr; }

// Icon handles do not cross processes: compare the box's icon as drawn on
// screen with each system icon drawn here on the same background.
static UINT IconShown(HWND box) {
    HWND iconControl = GetDlgItem(box, 1088);
    if (!iconControl) return ~0u;
    RECT rect;
    GetWindowRect(iconControl, &rect);
    const int size = 32;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), size, -size, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    DWORD* shown;
    DWORD* drawn;
    HBITMAP shownBitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&shown), nullptr, 0);
    HBITMAP drawnBitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&drawn), nullptr, 0);
    HGDIOBJ old = SelectObject(memory, shownBitmap);
    BitBlt(memory, 0, 0, size, size, screen, rect.left, rect.top, SRCCOPY);
    DWORD background = shown[0];

    struct Candidate {
        UINT type;
        const wchar_t* icon;
    } candidates[] = {{MB_ICONERROR, IDI_HAND},
                      {MB_ICONINFORMATION, IDI_ASTERISK},
                      {MB_ICONWARNING, IDI_EXCLAMATION},
                      {MB_ICONQUESTION, IDI_QUESTION}};
    UINT best = ~0u;
    int bestSame = size * size * 95 / 100;  // a match must agree on 95% of the pixels
    SelectObject(memory, drawnBitmap);
    for (const Candidate& candidate : candidates) {
        for (int i = 0; i < size * size; ++i) drawn[i] = background;
        DrawIconEx(memory, 0, 0, LoadIconW(nullptr, candidate.icon), size, size, 0, nullptr, DI_NORMAL);
        GdiFlush();
        int same = 0;
        for (int i = 0; i < size * size; ++i) same += (shown[i] & 0xFFFFFF) == (drawn[i] & 0xFFFFFF);
        if (same > bestSame) {
            bestSame = same;
            best = candidate.type;
        }
    }
    SelectObject(memory, old);
    DeleteObject(shownBitmap);
    DeleteObject(drawnBitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return best;
}

MessageBoxSeen WaitForMessageBox(HWND owner, DWORD milliseconds) {
    MessageBoxSeen seen{nullptr, L"", L"", ~0u, false};
    if (!WaitUntil([&] { return (seen.box = FindMessageBox(owner)) != nullptr; }, milliseconds)) return seen;
    seen.title = TextOf(seen.box);
    wchar_t text[1024];
    seen.text = std::wstring(text, GetDlgItemTextW(seen.box, 0xFFFF, text, 1024));
    seen.ownerDisabled = !IsWindowEnabled(owner);
    WaitUntil([&] { return (seen.icon = IconShown(seen.box)) != ~0u; }, 3000);  // once it has painted
    return seen;
}

void DismissMessageBox(HWND box) {
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    WaitUntil([&] { return !IsWindow(box); });
}

MessageBoxSeen PressApply(HWND main) {
    // Posted: a sent click would not return until the box is dismissed.
    PostMessageW(GetDlgItem(main, 103), BM_CLICK, 0, 0);
    MessageBoxSeen seen = WaitForMessageBox(main);
    if (seen.box) DismissMessageBox(seen.box);
    return seen;
}

// ---- DLL search ----

bool ProbeLoadedIn(DWORD pid) {
    wchar_t name[64];
    swprintf(name, 64, L"planted_probe_loaded_%lu", pid);
    HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (mark) CloseHandle(mark);
    return mark != nullptr;
}

bool LoadLibraryInto(HANDLE process, const std::wstring& name) {
    SIZE_T bytes = (name.size() + 1) * sizeof(wchar_t);
    void* remoteName = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remoteName) return false;
    bool ran = false;
    // kernel32 sits at the same address in every process.
    auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    if (WriteProcessMemory(process, remoteName, name.c_str(), bytes, nullptr)) {
        HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, remoteName, 0, nullptr);
        if (thread) {
            ran = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
            CloseHandle(thread);
        }
    }
    VirtualFreeEx(process, remoteName, 0, MEM_RELEASE);
    return ran;
}
