// tests\testkit.exe: what run-tests.cmd and run-in-sandbox.cmd run.
//
//   testkit [/report FOLDER] [EXE]  the suite on the bundle's legalnotice.exe, or on EXE
//   testkit /restore                only puts back what an interrupted run changed
//   testkit /sandbox                writes a Windows Sandbox configuration that runs the suite, and starts it
//
// Exit status of a run: 0 all passed, 1 something failed, 2 the suite could
// not run. Its last line is "N passed, M failed".
#include <windows.h>  // first: the others need its types

#include <bcrypt.h>
#include <sddl.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "windows_helpers.h"
#include "winlogon_guard.h"

namespace {

// ---- Saying things: to the console or pipe, and to the log ----

HANDLE logFile = INVALID_HANDLE_VALUE;
// Where the run's exit code goes at its end, for run-in-sandbox.cmd to read:
// exit-code.txt beside the log, or in the report folder asked for.
std::wstring statusFile;

// A console shows any text given as UTF-16; a pipe or a file gets UTF-8.
void Write(const std::string& utf8) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, written;
    if (GetConsoleMode(out, &mode)) {
        std::wstring text = Wide(utf8);
        WriteConsoleW(out, text.c_str(), DWORD(text.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), DWORD(utf8.size()), &written, nullptr);
    }
    if (logFile != INVALID_HANDLE_VALUE) WriteFile(logFile, utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

void Say(const std::wstring& line) { Write(Utf8(line) + "\r\n"); }

// ---- Where things are ----

std::wstring OwnFolder() {  // the bundle's tests\ folder
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return FolderOf(std::wstring(path, length));
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length && length < MAX_PATH ? full : path;
}

std::wstring BundleFolder() { return FullPath(OwnFolder() + L"..\\"); }

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The first bytes of a small file; empty if it cannot be read.
std::string FileText(const std::wstring& path) {
    char text[64];
    DWORD read = 0;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    if (!ReadFile(file, text, sizeof text, &read, nullptr)) read = 0;
    CloseHandle(file);
    return std::string(text, read);
}

bool CanWriteIn(const std::wstring& folder) {
    HANDLE probe = CreateFileW((folder + L"legalnotice-tests-can-write").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
    return true;
}

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    return GetTempPathW(MAX_PATH, temp) ? temp : L"C:\\";
}

// ---- This machine ----

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

// Whether this session's desktop takes input and shows what is drawn, as the
// window tests need; why says which need is not met, and what to do.
bool DesktopTakesInput(std::wstring* why) {
    DWORD session = ~0u;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        *why =
            L"This runs in session 0, which has no desktop to click and type on (a service, a task set to run "
            L"whether the user is signed in or not, PowerShell remoting, OpenSSH). Run it on the desktop of an "
            L"administrator who is signed in.";
        return false;
    }
    WTS_CONNECTSTATE_CLASS* state = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState,
                                    reinterpret_cast<LPWSTR*>(&state), &bytes)) {  // Wine cannot say; below can
        bool connected = bytes >= sizeof *state && *state == WTSActive;
        WTSFreeMemory(state);
        if (!connected) {
            *why =
                L"This session is disconnected from its screen (a remote desktop window that was closed). "
                L"Connect to it again, and keep its window open and not minimised while the tests run.";
            return false;
        }
    }
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (!input) {
        *why = L"The desktop that takes input cannot be opened (error " + std::to_wstring(GetLastError()) +
               L"): the workstation is locked, or a secure desktop (a UAC prompt, Ctrl+Alt+Del) is showing. "
               L"Unlock it, close that, and run again.";
        return false;
    }
    wchar_t inputName[256] = L"", ownName[256] = L"";
    DWORD length;
    GetUserObjectInformationW(input, UOI_NAME, inputName, sizeof inputName, &length);
    GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, ownName, sizeof ownName, &length);
    CloseDesktop(input);
    if (std::wcscmp(inputName, ownName) != 0) {
        *why = L"The desktop that takes input is \"" + std::wstring(inputName) + L"\", not this one (\"" + ownName +
               L"\"). Run the tests on the desktop in front of you.";
        return false;
    }
    return true;
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

// ---- The whole Winlogon key, for the comparison before and after ----

std::vector<std::wstring> Changes(const KeyPicture& before, const KeyPicture& after) {
    std::vector<std::wstring> changes;
    for (const auto& [entry, data] : before) {
        auto now = after.find(entry);
        if (now == after.end())
            changes.push_back(entry + L" is gone");
        else if (now->second != data)
            changes.push_back(entry + L" changed");
    }
    for (const auto& entry : after)
        if (!before.count(entry.first)) changes.push_back(entry.first + L" is new");
    return changes;
}

// ---- Running a test program ----

struct Results {
    int passed = 0, failed = 0, skipped = 0;
};

struct Watch {
    HANDLE process, job;
    DWORD limitSeconds;
    bool ended;
};

// Ends the job if its program outlasts the limit.
DWORD WINAPI Watchdog(void* parameter) {
    Watch* watch = static_cast<Watch*>(parameter);
    if (WaitForSingleObject(watch->process, watch->limitSeconds * 1000) == WAIT_TIMEOUT) {
        watch->ended = true;
        TerminateJobObject(watch->job, 1);
    }
    return 0;
}

// What a test program did.
struct Outcome {
    DWORD startError = 0;      // CreateProcessW's error, if it could not be started
    DWORD code = ~0u;          // its exit code
    bool printed = false;      // anything at all
    bool counted = false;      // its "results: P passed, F failed, S skipped" line
    bool couldNotRun = false;  // a "could not run: " line: the run cannot go on
    Results results;
};

// What one line of a test program's output says.
void ReadLine(const std::string& line, Outcome* outcome) {
    outcome->counted = std::sscanf(line.c_str(), "results: %d passed, %d failed, %d skipped", &outcome->results.passed,
                                   &outcome->results.failed, &outcome->results.skipped) == 3 ||
                       outcome->counted;
    outcome->couldNotRun = line.starts_with("could not run: ") || outcome->couldNotRun;
}

// Runs PROGRAM in FOLDER, passing its output on line by line; a program that
// outlasts the limit is ended.
Outcome RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                   DWORD limitSeconds) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE reader, writer;
    if (!CreatePipe(&reader, &writer, &inheritable, 0)) {
        outcome.startError = GetLastError();
        return outcome;
    }
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    // A job that ends the program, and whatever it started, with this
    // process: a killed run leaves nothing running.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = startup.hStdError = writer;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                  nullptr, folder.c_str(), &startup, &process);
    if (!started) outcome.startError = GetLastError();
    CloseHandle(writer);
    if (started) {
        AssignProcessToJobObject(job, process.hProcess);
        ResumeThread(process.hThread);
        Watch watch{process.hProcess, job, limitSeconds, false};
        HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
        std::string pending;
        char buffer[4096];
        DWORD read;
        while (ReadFile(reader, buffer, sizeof buffer, &read, nullptr) && read) {  // until the program and its own end
            pending.append(buffer, read);
            outcome.printed = true;
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::string line = pending.substr(0, end + 1);
                ReadLine(line, &outcome);
                Write(line);
            }
        }
        Write(pending);
        WaitForSingleObject(process.hProcess, INFINITE);
        WaitForSingleObject(watchdog, INFINITE);
        CloseHandle(watchdog);
        if (watch.ended)
            Say(L"\r\n" + program + L" ran longer than " + std::to_wstring(limitSeconds) + L" s and was ended");
        GetExitCodeProcess(process.hProcess, &outcome.code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(reader);
    CloseHandle(job);
    return outcome;
}

// ---- The three commands ----

int Finish(const Results& total, int status) {
    if (total.skipped) Say(std::to_wstring(total.skipped) + L" skipped (see the log for why)");
    Say(std::to_wstring(total.passed) + L" passed, " + std::to_wstring(total.failed) + L" failed");
    if (logFile != INVALID_HANDLE_VALUE) CloseHandle(logFile);
    if (!statusFile.empty()) {  // whole or not at all: written aside, then moved in
        CreateDirectoryW(FolderOf(statusFile).c_str(), nullptr);
        std::wstring aside = statusFile + L".new";
        HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        std::string code = std::to_string(status) + "\r\n";
        DWORD written;
        bool saved =
            file != INVALID_HANDLE_VALUE && WriteFile(file, code.data(), DWORD(code.size()), &written, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (saved) MoveFileExW(aside.c_str(), statusFile.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return status;
}

// The report folder: the one asked for, else report\ in the bundle's folder,
// else (a read-only bundle) one under %TEMP%. Opens the log in it.
std::wstring OpenReport(const std::wstring& asked, std::wstring* note) {
    std::vector<std::wstring> candidates;
    if (!asked.empty()) {
        candidates.push_back(FullPath(asked));
    } else {
        candidates.push_back(BundleFolder() + L"report");
        candidates.push_back(TempFolder() + L"legalnotice-tests-report");
    }
    for (const std::wstring& folder : candidates) {
        CreateDirectoryW(folder.c_str(), nullptr);
        logFile = CreateFileW((folder + L"\\run-tests.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
        if (logFile != INVALID_HANDLE_VALUE) {
            statusFile = folder + L"\\exit-code.txt";
            return folder;
        }
        if (note->empty())
            *note = L"The folder " + folder + L" cannot be written to (error " + std::to_wstring(GetLastError()) + L")";
    }
    return L"";
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

// Says which programs carry the Mark of the Web, and how to clear it; false if none does.
bool ToldOfMarkedPrograms() {
    std::vector<std::wstring> marked = MarkedPrograms();
    if (marked.empty()) return false;
    Say(L"These files carry the Mark of the Web (a Zone.Identifier stream, from the download), so SmartScreen or");
    Say(L"Smart App Control may refuse to run them:");
    for (const std::wstring& file : marked) Say(L"  " + file);
    std::wstring folder = BundleFolder(), quoted;
    folder.pop_back();
    for (wchar_t c : folder) quoted += c == L'\'' ? L"\'\'" : std::wstring(1, c);
    Say(L"Clear it, then run again. In PowerShell:");
    Say(L"  Get-ChildItem -Recurse -LiteralPath '" + quoted + L"' | Unblock-File");
    Say(L"or tick Unblock in the zip's Properties and unpack it again. Nothing was changed.");
    return true;
}

// Where the test programs run: under the Windows folder's Temp, a path of
// plain ASCII (GoogleTest names its report's folder through the ANSI code
// page, which may lack the letters of C:\Users\Иван\...), with a name no one
// can guess. Empty if no random name could be made.
std::wstring NewScratchPath() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    unsigned char random[16];
    if (!length || length >= MAX_PATH ||
        BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return L"";
    wchar_t name[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) swprintf(name + 2 * i, 3, L"%02x", random[i]);
    return std::wstring(windows, length) + L"\\Temp\\legalnotice-tests-" + name;
}

// Makes the scratch folder for Administrators and SYSTEM only. A standard
// user may create folders in the Windows folder's Temp and would own them,
// so one that is there already, or is a link, is refused.
bool MakeScratchFolder(const std::wstring& path, std::wstring* why) {
    PSECURITY_DESCRIPTOR protection;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &protection, nullptr)) {
        *why = L"its permissions could not be made";
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, protection, FALSE};
    BOOL made = CreateDirectoryW(path.c_str(), &attributes);
    DWORD error = GetLastError();
    LocalFree(protection);
    if (!made) {
        *why = error == ERROR_ALREADY_EXISTS ? L"it is there already" : L"error " + std::to_wstring(error);
        return false;
    }
    DWORD kind = GetFileAttributesW(path.c_str());
    if (kind == INVALID_FILE_ATTRIBUTES || !(kind & FILE_ATTRIBUTE_DIRECTORY) ||
        (kind & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *why = L"it is not a plain folder";
        return false;
    }
    return true;
}

int RunSuite(const std::wstring& askedReport, const std::wstring& askedExe) {
    Results total;
    if (!askedReport.empty()) statusFile = FullPath(askedReport) + L"\\exit-code.txt";  // whatever follows
    // Refusals first, before anything else is written anywhere.
    if (!ProcessIsElevated(GetCurrentProcess())) {
        Say(L"run-tests.cmd must run as an administrator, elevated: right-click it and choose \"Run as "
            L"administrator\", or run it from an elevated command prompt. Nothing was changed.");
        return Finish(total, 2);
    }
    if (RunsAsLocalSystem()) {
        Say(L"run-tests.cmd does not run as LocalSystem (a service, a task run as SYSTEM, PsExec -s): the tests "
            L"would deny SYSTEM itself a write. Run it from an administrator's elevated prompt. Nothing was changed.");
        return Finish(total, 2);
    }
    std::wstring why;
    if (!DesktopTakesInput(&why)) {
        Say(L"The tests click and type into windows, and read them off the screen. " + why + L" Nothing was changed.");
        return Finish(total, 2);
    }
    if (ToldOfMarkedPrograms()) return Finish(total, 2);
    std::wstring exe = FullPath(askedExe.empty() ? BundleFolder() + L"legalnotice.exe" : askedExe);
    if (!FileExists(exe)) {
        Say(L"There is no such file: " + exe + L". Nothing was changed.");
        return Finish(total, 2);
    }
    const wchar_t* programs[] = {L"store_tests", L"exe_tests"};
    for (const wchar_t* name : programs)
        if (!FileExists(OwnFolder() + name + L".exe")) {
            Say(L"The bundle is incomplete: " + OwnFolder() + name + L".exe is missing. Nothing was changed.");
            return Finish(total, 2);
        }
    const std::wstring scratch = NewScratchPath();
    if (scratch.empty()) {
        Say(L"Could not make a random name for the scratch folder. Nothing was changed.");
        return Finish(total, 2);
    }
    // Claims the run: a second run stops here, before it touches the report.
    WinlogonGuard guard(scratch);
    if (!guard.ok) {
        Say(guard.report);
        return Finish(total, 2);
    }

    std::wstring note, report = OpenReport(askedReport, &note);
    Say(L"legalnotice " LEGALNOTICE_VERSION L" tests");
    if (report.empty()) {
        Say(note + L"; there is nowhere to write the report. Nothing was changed.");
        return Finish(total, 2);
    }
    if (!guard.report.empty()) Say(guard.report);
    DescribeThisMachine();
    Say(L"Tested exe:     " + exe);
    Say(L"SHA-256:        " + Sha256Of(exe));
    if (!note.empty()) Say(note + L"; the report goes to " + report + L" instead.");
    Say(L"Report:         " + report);
    if (!MakeScratchFolder(scratch, &why)) {
        Say(L"Could not make the scratch folder " + scratch + L": " + why + L". Nothing was changed.");
        return Finish(total, 2);
    }
    Say(L"Scratch folder: " + scratch + L" (removed at the end)");
    KeyPicture before = PictureOfWinlogon();
    // The DLL search test plants a DLL beside the exe. Where its folder is
    // read-only (Windows Sandbox maps the bundle so), a copy is tested.
    std::wstring tested = exe;
    if (!CanWriteIn(FolderOf(exe))) {
        tested = scratch + L"\\legalnotice.exe";
        if (!CopyFileW(exe.c_str(), tested.c_str(), FALSE)) tested = exe;
        Say(L"The exe's folder cannot be written to; the tests run an identical copy: " + tested);
    }
    SetEnvironmentVariableW(L"LEGALNOTICE_EXE", tested.c_str());
    SetEnvironmentVariableW(L"LEGALNOTICE_REPORT_DIR", report.c_str());
    bool couldNotRun = false;
    for (const wchar_t* name : programs) {
        Say(L"");
        Say(std::wstring(L"==== ") + name);
        // Reports are written in the scratch folder and moved over.
        std::wstring xml = std::wstring(name) + L".xml";
        DeleteFileW((report + L"\\" + xml).c_str());
        const std::wstring program = OwnFolder() + name + L".exe";
        Outcome ran = RunProgram(program, L"--gtest_output=xml:" + xml, scratch, 300);
        MoveFileExW((scratch + L"\\" + xml).c_str(), (report + L"\\" + xml).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        total.passed += ran.results.passed;
        total.failed += ran.results.failed;
        total.skipped += ran.results.skipped;
        // Stopped as it started, it printed nothing; a test program that
        // cannot go on says so itself.
        if (ran.startError || (!ran.printed && StoppedByPolicy(ran.code))) {
            Say(CannotStart(program, ran.startError ? ran.startError : ran.code));
            couldNotRun = true;
        } else if (ran.couldNotRun) {
            couldNotRun = true;
        } else if (!ran.counted || (ran.code != 0 && ran.results.failed == 0)) {
            Say(std::wstring(name) + L" ended with exit code " + std::to_wstring(ran.code) +
                L" without reporting a failed test: counted as one failure");
            ++total.failed;
        }
        if (couldNotRun) break;
    }
    if (!couldNotRun && total.failed && !DesktopTakesInput(&why)) {
        Say(L"The desktop stopped taking input during the run, so the failures above may come from that: " + why);
        couldNotRun = true;
    }
    if (couldNotRun) Say(L"The suite could not run to its end (above); what it changed is put back.");

    Say(L"");
    std::wstring problems;
    bool putBack = guard.Finish(&problems);  // the scratch folder too
    if (!putBack) Say(L"The Winlogon key was not put back: " + problems);
    std::vector<std::wstring> changes = Changes(before, PictureOfWinlogon());
    if (changes.empty()) {
        Say(L"The Winlogon key is as it was before the run: security, every value, every subkey.");
        ++total.passed;
    } else {
        Say(L"FAILED: the Winlogon key is not as it was before the run:");
        for (const std::wstring& change : changes) Say(L"  " + change);
        ++total.failed;
    }
    Say(L"Report: " + report + L" (run-tests.log, store_tests.xml, exe_tests.xml, pictures of the window)");
    return Finish(total, !putBack || couldNotRun ? 2 : total.failed ? 1 : 0);
}

int Restore() {
    if (!ProcessIsElevated(GetCurrentProcess())) {
        Say(L"run-tests.cmd /restore must run as an administrator, elevated. Nothing was changed.");
        return 2;
    }
    std::wstring report;
    LeftoverRestore result = RestoreLeftover(&report);
    Say(report);
    return result == LeftoverRestore::kNone || result == LeftoverRestore::kRestored ? 0 : 2;
}

std::wstring XmlEscaped(const std::wstring& text) {
    const struct {
        wchar_t character;
        const wchar_t* entity;
    } entities[] = {{L'&', L"&amp;"}, {L'<', L"&lt;"}, {L'>', L"&gt;"}, {L'"', L"&quot;"}, {L'\'', L"&apos;"}};
    std::wstring out;
    for (wchar_t c : text) {
        const wchar_t* entity = nullptr;
        for (const auto& known : entities)
            if (known.character == c) entity = known.entity;
        if (entity)
            out += entity;
        else
            out += c;
    }
    return out;
}

// A configuration that maps the bundle's folder read-only and a results
// folder beside it writable, and runs the suite at sign-in. Windows Sandbox
// wants absolute host folders that exist.
int Sandbox() {
    if (ToldOfMarkedPrograms()) return 2;  // the sandbox sees the same marks
    std::wstring bundle = BundleFolder();
    if (bundle.size() > 3 && bundle.back() == L'\\') bundle.pop_back();
    std::wstring results = bundle + L"-results";
    if (!CreateDirectoryW(results.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        results = TempFolder() + L"legalnotice-tests-results";
        CreateDirectoryW(results.c_str(), nullptr);
    }
    const std::wstring inside = L"C:\\legalnotice-tests", insideResults = L"C:\\legalnotice-results";
    std::wstring configuration =
        L"<Configuration>\r\n"
        L"  <MappedFolders>\r\n"
        L"    <MappedFolder>\r\n"
        L"      <HostFolder>" +
        XmlEscaped(bundle) +
        L"</HostFolder>\r\n"
        L"      <SandboxFolder>" +
        inside +
        L"</SandboxFolder>\r\n"
        L"      <ReadOnly>true</ReadOnly>\r\n"
        L"    </MappedFolder>\r\n"
        L"    <MappedFolder>\r\n"
        L"      <HostFolder>" +
        XmlEscaped(results) +
        L"</HostFolder>\r\n"
        L"      <SandboxFolder>" +
        insideResults +
        L"</SandboxFolder>\r\n"
        L"      <ReadOnly>false</ReadOnly>\r\n"
        L"    </MappedFolder>\r\n"
        L"  </MappedFolders>\r\n"
        L"  <LogonCommand>\r\n"
        L"    <Command>cmd.exe /k " +
        inside + L"\\run-tests.cmd /report " + insideResults +
        L"</Command>\r\n"
        L"  </LogonCommand>\r\n"
        L"</Configuration>\r\n";
    std::string utf8 = Utf8(configuration);
    std::wstring path = results + L"\\legalnotice-tests.wsb";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool saved = file != INVALID_HANDLE_VALUE && WriteFile(file, utf8.data(), DWORD(utf8.size()), &written, nullptr) &&
                 written == utf8.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!saved) {
        Say(L"Could not write " + path + L".");
        return 2;
    }
    Say(L"Windows Sandbox configuration: " + path);
    Say(L"  " + bundle + L" is mapped read-only to " + inside + L"; the report appears in " + results + L".");
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (!length || !FileExists(std::wstring(system, length) + L"\\WindowsSandbox.exe")) {
        Say(L"Windows Sandbox is not installed. It comes with Windows 10 and 11 Pro, Enterprise and Education:");
        Say(L"turn on \"Windows Sandbox\" in \"Turn Windows features on or off\", or in an elevated PowerShell run");
        Say(L"  Enable-WindowsOptionalFeature -Online -FeatureName Containers-DisposableClientVM -All");
        Say(L"then restart Windows and run run-in-sandbox.cmd again (or open the configuration above).");
        return 2;
    }
    // What the run inside writes: its log as it starts, its exit code at its end.
    const std::wstring log = results + L"\\run-tests.log", status = results + L"\\exit-code.txt";
    DeleteFileW(log.c_str());  // a report of an earlier run
    DeleteFileW(status.c_str());
    SHELLEXECUTEINFOW open = {sizeof open};
    open.lpVerb = L"open";
    open.lpFile = path.c_str();
    open.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&open)) {
        Say(L"Could not start Windows Sandbox (error " + std::to_wstring(GetLastError()) + L").");
        return 2;
    }
    Say(L"Windows Sandbox is starting; this waits for the run inside it, which starts as the sandbox signs in.");
    const DWORD start = GetTickCount();
    while (!FileExists(log) && !FileExists(status)) {
        if (GetTickCount() - start > 5 * 60 * 1000) {
            Say(L"The run has not started in Windows Sandbox within 5 minutes: some Windows 11 releases do not run a");
            Say(L"sandbox's logon command. Run it in the sandbox by hand, and its report appears in " + results + L":");
            Say(L"  " + inside + L"\\run-tests.cmd /report " + insideResults);
            Say(L"or run the tests in a virtual machine.");
            return 2;
        }
        Sleep(1000);
    }
    Say(L"The run has started in Windows Sandbox; it takes about a minute.");
    while (!FileExists(status)) {
        if (GetTickCount() - start > 30 * 60 * 1000) {
            Say(L"The run in Windows Sandbox has not ended within 30 minutes; look at the sandbox's window, and at " +
                log + L".");
            return 2;
        }
        Sleep(1000);
    }
    const std::string code = FileText(status);
    const int ended = code.size() >= 1 && code[0] >= '0' && code[0] <= '2' ? code[0] - '0' : 2;
    Say(L"The run in Windows Sandbox ended with exit code " + std::to_wstring(ended) +
        L" (0: all passed, 1: a failure, 2: it could not run).");
    Say(L"Its report is in " + results + L"; close the sandbox to throw it away.");
    return ended;
}

void Usage() {
    Say(L"usage: run-tests.cmd [/report FOLDER] [EXE]   runs the suite on the bundle's legalnotice.exe, or on EXE");
    Say(L"       run-tests.cmd /restore                 only puts back what an interrupted run changed");
    Say(L"       run-in-sandbox.cmd                     runs the suite in Windows Sandbox");
}

int Command(int argc, wchar_t** argv) {
    std::wstring report, exe;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argc == 2 && _wcsicmp(argv[i], L"/restore") == 0) return Restore();
        if (argc == 2 && _wcsicmp(argv[i], L"/sandbox") == 0) return Sandbox();
        if (_wcsicmp(argv[i], L"/report") == 0 && i + 1 < argc && report.empty()) {
            report = argv[++i];
        } else if (argument.empty() || argument[0] == L'/' || !exe.empty()) {
            Usage();
            return Finish(Results(), 2);
        } else {
            exe = argument;
        }
    }
    return RunSuite(report, exe);
}

// The .cmd files set LEGALNOTICE_PAUSE when they were opened by their path,
// as Explorer does: then a console window would close before it was read.
// Only a console, both ways: output to a pipe or a file has no one waiting.
void WaitForAKeyIfAsked() {
    wchar_t asked[4];
    DWORD mode, done;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetEnvironmentVariableW(L"LEGALNOTICE_PAUSE", asked, 4) || !GetConsoleMode(input, &mode) ||
        !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        return;
    const wchar_t prompt[] = L"Press any key to close this window.";
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), prompt, DWORD(wcslen(prompt)), &done, nullptr);
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    while (ReadConsoleInputW(input, &record, 1, &done) &&
           !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = Command(argc, argv);
    WaitForAKeyIfAsked();
    return status;
}
