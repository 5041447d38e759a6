// The checks before a run, in the order they are made, and what the log says
// of this machine: a run that cannot work here stops before it changes
// anything, saying why and what to do.
#include <windows.h>  // first: the others need its types

#include <bcrypt.h>
#include <wtsapi32.h>

#include <cwchar>

#include "runner.h"
#include "windows_helpers.h"

namespace {

std::wstring RegistryText(const wchar_t* name) {
    wchar_t text[256];
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name, RRF_RT_REG_SZ,
                     nullptr, text, &size) != ERROR_SUCCESS)
        return L"";
    return text;
}

DWORD RegistryNumber(const wchar_t* name) {
    DWORD number = 0, size = sizeof number;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name, RRF_RT_REG_DWORD,
                 nullptr, &number, &size);
    return number;
}

std::wstring LocaleName(LCID lcid) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH];
    return LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0) ? name : std::to_wstring(lcid);
}

// The bundle's programs that carry the Mark of the Web.
std::vector<std::wstring> MarkedPrograms() {
    std::vector<std::wstring> marked;
    if (CarriesMarkOfTheWeb(BundleFolder() + L"legalnotice.exe")) marked.push_back(BundleFolder() + L"legalnotice.exe");
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((OwnFolder() + L"*").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry))
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && CarriesMarkOfTheWeb(OwnFolder() + entry.cFileName))
            marked.push_back(OwnFolder() + entry.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return marked;
}

}  // namespace

std::wstring CannotRunHere(const std::wstring& exe) {
    if (!ProcessIsElevated(GetCurrentProcess()))
        return L"run-tests.cmd must run as an administrator, elevated: right-click it and choose \"Run as "
               L"administrator\", or run it from an elevated command prompt. Nothing was changed.";
    if (RunsAsLocalSystem())
        return L"run-tests.cmd does not run as LocalSystem (a service, a task run as SYSTEM, PsExec -s): the tests "
               L"would deny SYSTEM itself a write. Run it from an administrator's elevated prompt. Nothing was "
               L"changed.";
    if (std::wstring why = DesktopTakesInput(); !why.empty())
        return L"The tests click and type into windows, and read them off the screen. " + why +
               L" Nothing was changed.";
    if (std::wstring marks = MarkOfTheWeb(); !marks.empty()) return marks;
    if (!FileExists(exe)) return L"There is no such file: " + exe + L". Nothing was changed.";
    for (const wchar_t* name : kTestPrograms)
        if (!FileExists(OwnFolder() + name + L".exe"))
            return L"The bundle is incomplete: " + OwnFolder() + name + L".exe is missing. Nothing was changed.";
    return L"";
}

void DescribeThisMachine() {
    // RtlGetVersion tells the truth; GetVersionEx answers a program without
    // a compatibility manifest with 6.2.
    typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW*);
    OSVERSIONINFOW version = {sizeof version};
    auto getVersion = reinterpret_cast<RtlGetVersionProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (getVersion) getVersion(&version);
    std::wstring release = RegistryText(L"DisplayVersion");
    if (release.empty()) release = RegistryText(L"ReleaseId");
    std::wstring edition = RegistryText(L"EditionID");
    std::wstring line =
        L"Windows:        " + RegistryText(L"ProductName") + (edition.empty() ? L"" : L", edition " + edition) +
        L", version " + std::to_wstring(version.dwMajorVersion) + L"." + std::to_wstring(version.dwMinorVersion) +
        (release.empty() ? L"" : L" (" + release + L")") + L", build " + std::to_wstring(version.dwBuildNumber);
    if (DWORD revision = RegistryNumber(L"UBR")) line += L"." + std::to_wstring(revision);
    if (version.szCSDVersion[0]) line += std::wstring(L", ") + version.szCSDVersion;
    Say(line);
    if (version.dwMajorVersion == 10 && version.dwBuildNumber >= 22000)
        Say(L"                (build 22000 or later is Windows 11, whatever the product name says)");
    if (RunningOnWine())
        Say(L"Wine:           " + Wide(WineVersion()) + L": this is not Windows; the results speak for Wine");

    wchar_t systemLocale[LOCALE_NAME_MAX_LENGTH] = L"?", userLocale[LOCALE_NAME_MAX_LENGTH] = L"?";
    GetSystemDefaultLocaleName(systemLocale, LOCALE_NAME_MAX_LENGTH);
    GetUserDefaultLocaleName(userLocale, LOCALE_NAME_MAX_LENGTH);
    Say(std::wstring(L"System locale:  ") + systemLocale + L" (ANSI code page " + std::to_wstring(GetACP()) +
        L", OEM " + std::to_wstring(GetOEMCP()) + L"); user locale " + userLocale);
    Say(L"UI language:    " + LocaleName(GetUserDefaultUILanguage()) + L" (system " +
        LocaleName(GetSystemDefaultUILanguage()) + L")");

    // The system DPI, the primary monitor's at sign-in; exe_tests logs the
    // scaling of the monitor the exe's window is on, and Windows' stretch.
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    Say(L"Session:        " + std::to_wstring(session) +
        (GetSystemMetrics(SM_REMOTESESSION)
             ? L", remote: keep its window open and not minimised, or on the client machine set the DWORD "
               L"RemoteDesktop_SuppressWhenMinimized = 2 under HKCU\\Software\\Microsoft\\Terminal Server Client"
             : L", on this machine's own screen"));
    Say(L"Display:        " + std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L" x " +
        std::to_wstring(GetSystemMetrics(SM_CYSCREEN)) + L", " + std::to_wstring(dpi) + L" dpi at sign-in (" +
        std::to_wstring(dpi * 100 / 96) + L" % scaling)");
}

std::wstring DesktopTakesInput() {
    DWORD session = ~0u;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        return L"This runs in session 0, which has no desktop to click and type on (a service, a task set to run "
               L"whether the user is signed in or not, PowerShell remoting, OpenSSH). Run it on the desktop of an "
               L"administrator who is signed in.";
    }
    WTS_CONNECTSTATE_CLASS* state = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState,
                                    reinterpret_cast<LPWSTR*>(&state), &bytes)) {  // Wine cannot say; below can
        bool connected = bytes >= sizeof *state && *state == WTSActive;
        WTSFreeMemory(state);
        if (!connected) {
            return L"This session is disconnected from its screen (a remote desktop window that was closed). "
                   L"Connect to it again, and keep its window open and not minimised while the tests run.";
        }
    }
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (!input) {
        return L"The desktop that takes input cannot be opened (error " + std::to_wstring(GetLastError()) +
               L"): the workstation is locked, or a secure desktop (a UAC prompt, Ctrl+Alt+Del) is showing. "
               L"Unlock it, close that, and run again.";
    }
    wchar_t inputName[256] = L"", ownName[256] = L"";
    DWORD length;
    GetUserObjectInformationW(input, UOI_NAME, inputName, sizeof inputName, &length);
    GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, ownName, sizeof ownName, &length);
    CloseDesktop(input);
    if (std::wcscmp(inputName, ownName) != 0) {
        return L"The desktop that takes input is \"" + std::wstring(inputName) + L"\", not this one (\"" + ownName +
               L"\"). Run the tests on the desktop in front of you.";
    }
    return L"";
}

std::wstring Sha256Of(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"(unreadable)";
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    unsigned char buffer[65536];
    DWORD read;
    while (ok && ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read)
        ok = BCryptHashData(hash, buffer, read, 0) == 0;
    ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    CloseHandle(file);
    if (!ok) return L"(could not be computed)";
    wchar_t hex[65];
    for (int i = 0; i < 32; ++i) swprintf(hex + 2 * i, 3, L"%02x", digest[i]);
    return hex;
}

std::wstring MarkOfTheWeb() {
    std::vector<std::wstring> marked = MarkedPrograms();
    if (marked.empty()) return L"";
    std::wstring said =
        L"These files carry the Mark of the Web (a Zone.Identifier stream, from the download), so SmartScreen or\r\n"
        L"Smart App Control may refuse to run them:\r\n";
    for (const std::wstring& file : marked) said += L"  " + file + L"\r\n";
    std::wstring folder = BundleFolder(), quoted;
    folder.pop_back();
    for (wchar_t c : folder) quoted += c == L'\'' ? L"\'\'" : std::wstring(1, c);
    return said + L"Clear it, then run again. In PowerShell:\r\n" + L"  Get-ChildItem -Recurse -LiteralPath '" +
           quoted + L"' | Unblock-File\r\n" +
           L"or tick Unblock in the zip's Properties and unpack it again. Nothing was changed.";
}
