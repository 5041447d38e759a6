#include "winlogon_guard.h"

#include <tlhelp32.h>

#include <cwchar>

#include "access_list.h"
#include "windows_helpers.h"
#include "winlogon_copy.h"

const wchar_t kWinlogonAside[] = L"Winlogon (moved aside by legalnotice tests)";

namespace {

const wchar_t kWinlogonParent[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

bool StillRunning(const RunRecord& run) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.pid);
    if (!process) return false;
    FILETIME started, exited, kernel, user;
    DWORD code = 0;
    // The same process, not a later one that was given its number.
    bool same = GetProcessTimes(process, &started, &exited, &kernel, &user) &&
                CompareFileTime(&started, &run.started) == 0 && GetExitCodeProcess(process, &code) &&
                code == STILL_ACTIVE;
    CloseHandle(process);
    return same;
}

DWORD ParentProcessId() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry = {sizeof entry};
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !parent; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    return parent;
}

// A live run is the one around this program only if it started this program:
// run-tests.cmd's runner starts each test program itself.
bool IsTheRunAroundUs(const RunRecord& run) {
    RunRecord self = ThisRun();
    return run.pid == ParentProcessId() && CompareFileTime(&run.started, &self.started) <= 0;
}

std::wstring DescribeRun(const RunRecord& run) {
    SYSTEMTIME time;
    FileTimeToSystemTime(&run.started, &time);
    wchar_t text[96];
    swprintf(text, 96, L"process %lu, started %04u-%02u-%02u %02u:%02u:%02u UTC", run.pid, time.wYear, time.wMonth,
             time.wDay, time.wHour, time.wMinute, time.wSecond);
    return text;
}

bool KeyExists(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Removes the scratch folder a run made: its files, then the folder itself.
// A link in its place, or a folder inside it, is only reported.
bool RemoveScratch(const std::wstring& folder, std::wstring* report) {
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // never made, or already gone
    bool ok = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    WIN32_FIND_DATAW entry;
    HANDLE search = ok ? FindFirstFileW((folder + L"\\*").c_str(), &entry) : INVALID_HANDLE_VALUE;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        bool removed = false;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))  // a file, or a link to one: never its target
            for (int attempt = 0; !(removed = DeleteFileW((folder + L"\\" + name).c_str())) && attempt < 20; ++attempt)
                Sleep(100);  // a program that was ended may still hold it for a moment
        ok = ok && removed;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    ok = ok && RemoveDirectoryW(folder.c_str());
    *report += ok ? L" removed the scratch folder " + folder + L";"
                  : L" could NOT remove the scratch folder " + folder + L" (look at it, and delete it by hand);";
    return ok;
}

// Puts back what the copy holds; on success the copy is deleted. Appends to
// report what it did, or could not do, and how to put that right.
bool PutBack(const Copy& copy, std::wstring* report) {
    bool ok = true;
    if (!KeyExists(kWinlogonPath) && KeyExists(std::wstring(kWinlogonParent) + L"\\" + kWinlogonAside)) {
        bool renamed = RenameWinlogon(kWinlogonAside, L"Winlogon") == ERROR_SUCCESS;
        *report += renamed ? L" renamed the Winlogon key back;" : L" could NOT rename the Winlogon key back;";
        ok = renamed;
    }
    std::wstring refusal;
    switch (RestoreDacl(copy.security, copy.user, &refusal)) {
    case DaclRestore::kAsSaved:
        break;
    case DaclRestore::kPutBack:
        *report += L" put back the key's DACL;";
        break;
    case DaclRestore::kLeftToOthers:
        *report += L" left the key's DACL as it is (changed since the copy, but holding no entry of the tests);";
        break;
    case DaclRestore::kRefused:
        *report += L" did NOT put back the key's DACL: " + refusal + L"\r\n ";
        ok = false;
        break;
    case DaclRestore::kFailed:
        *report += L" could NOT put back the key's DACL;";
        ok = false;
        break;
    }
    HKEY winlogon;
    bool opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_SET_VALUE, &winlogon) == ERROR_SUCCESS;
    for (int i = 0; i < 2; ++i) {
        const SavedValue& value = copy.values[i];
        const wchar_t* name = kNoticeValues[i];
        LSTATUS status =
            !opened         ? ERROR_ACCESS_DENIED
            : value.present ? RegSetValueExW(winlogon, name, 0, value.type, value.data.data(), DWORD(value.data.size()))
                            : RegDeleteValueW(winlogon, name);
        bool done = status == ERROR_SUCCESS || (!value.present && status == ERROR_FILE_NOT_FOUND);
        *report += std::wstring(done ? L" put back " : L" could NOT put back ") + name +
                   (value.present ? L";" : L" (absent);");
        ok = ok && done;
    }
    if (opened) RegCloseKey(winlogon);
    if (!copy.scratch.empty()) ok = RemoveScratch(copy.scratch, report) && ok;
    report->pop_back();
    if (ok && RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath) != ERROR_SUCCESS) {
        *report += L"; could NOT remove the backup";
        ok = false;
    }
    return ok;
}

enum class Found { kNothing, kRunAroundUs, kOtherRun, kPutBack, kRefused };

// Deals with a copy that is already there: leaves a live run's copy alone,
// puts back one whose run was killed, and refuses one it cannot trust or read.
Found DealWithExistingCopy(std::wstring* report) {
    HKEY backup;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, KEY_QUERY_VALUE | READ_CONTROL, &backup) != ERROR_SUCCESS)
        return Found::kNothing;
    if (std::wstring why = Trusted(backup); !why.empty()) {
        RegCloseKey(backup);
        *report = std::wstring(kBackupShown) + L" is " + why +
                  L", so these tests did not make it as it is: it is not read, and nothing is put back from it. "
                  L"Look at it, then delete it: " +
                  kDeleteBackup;
        return Found::kRefused;
    }
    Copy copy = ReadCopy(backup);
    RegCloseKey(backup);
    if (copy.runKnown && StillRunning(copy.run)) {
        if (IsTheRunAroundUs(copy.run)) return Found::kRunAroundUs;
        *report = L"A test run is in progress (" + DescribeRun(copy.run) +
                  L"): one run at a time. Nothing was changed; wait for it to end.";
        return Found::kOtherRun;
    }
    if (!copy.runKnown) {
        ULARGE_INTEGER written = {{copy.written.dwLowDateTime, copy.written.dwHighDateTime}}, now;
        FILETIME current;
        GetSystemTimeAsFileTime(&current);
        now = {{current.dwLowDateTime, current.dwHighDateTime}};
        if (now.QuadPart - written.QuadPart < 30 * 10000000ULL) {  // another run is making it right now
            *report = L"A test run is starting: one run at a time. Nothing was changed; wait for it to end.";
            return Found::kOtherRun;
        }
    }
    std::wstring who = copy.runKnown ? L" (" + DescribeRun(copy.run) + L")" : L"";
    if (copy.complete != 1) {  // killed before its first change: nothing to put back
        std::wstring done;
        bool removed = (copy.scratch.empty() || RemoveScratch(copy.scratch, &done)) &&
                       RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath) == ERROR_SUCCESS;
        *report = L"Found an unfinished backup of a test run that was interrupted before it changed anything" + who +
                  done + (removed ? L" removed it." : L" could NOT remove it.");
        return removed ? Found::kPutBack : Found::kRefused;
    }
    if (copy.format != kFormat) {
        *report = std::wstring(kBackupShown) + L" was written by another version of these tests" + who +
                  L": it is not read. Put it back with that version's run-tests.cmd /restore, or look at it, then "
                  L"delete it: " +
                  kDeleteBackup;
        return Found::kRefused;
    }
    std::wstring lacks = Lacks(copy);
    if (!lacks.empty()) {
        *report = std::wstring(kBackupShown) + L" lacks " + lacks + who +
                  L": it is not read, and nothing was put back from it. Look at it, then delete it: " + kDeleteBackup;
        return Found::kRefused;
    }
    std::wstring done;
    Found found = PutBack(copy, &done) ? Found::kPutBack : Found::kRefused;
    *report = L"Found the backup of a test run that was interrupted" + who + L":" + done + L".";
    if (found == Found::kRefused)
        *report += std::wstring(L" The backup is kept in ") + kBackupShown + L"; run-tests.cmd /restore tries again.";
    return found;
}

}  // namespace

typedef LSTATUS(WINAPI* RegRenameKeyProc)(HKEY, LPCWSTR, LPCWSTR);

LSTATUS RenameWinlogon(const wchar_t* from, const wchar_t* to) {
    auto rename = reinterpret_cast<RegRenameKeyProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegRenameKey")));
    HKEY parent;
    if (!rename) return ERROR_CALL_NOT_IMPLEMENTED;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonParent, 0, KEY_ALL_ACCESS, &parent);
    if (status != ERROR_SUCCESS) return status;
    status = rename(parent, from, to);
    RegCloseKey(parent);
    return status;
}

WinlogonGuard::WinlogonGuard(const std::wstring& scratchFolder) : ok(false) {
    if (RunsAsLocalSystem()) {
        // The deny entry would deny SYSTEM itself, and Windows' own writes with it.
        report = L"The tests do not run as LocalSystem: run them as an administrator. Nothing was changed.";
        return;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::wstring found;
        switch (DealWithExistingCopy(&found)) {
        case Found::kRunAroundUs:
            ok = true;  // the run around us speaks for the key
            return;
        case Found::kOtherRun:
        case Found::kRefused:
            report += (report.empty() ? L"" : L" ") + found;
            return;
        case Found::kPutBack:
            report += (report.empty() ? L"" : L" ") + found;
            break;
        case Found::kNothing:
            break;
        }
        switch (MakeCopy(scratchFolder)) {
        case Made::kMade:
            owner = ok = true;
            return;
        case Made::kTaken:  // another run made it first: look again
            break;
        case Made::kFailed:
            report += std::wstring(report.empty() ? L"" : L" ") +
                      L"Could not back up the notice values and the Winlogon key's DACL to " + kBackupShown +
                      L"; nothing was changed.";
            return;
        }
    }
    report += std::wstring(report.empty() ? L"" : L" ") + L"Another test run keeps starting: nothing was changed.";
}

std::wstring WinlogonGuard::Finish() {
    if (!owner) return L"";
    owner = false;
    HKEY backup;
    std::wstring done;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, KEY_QUERY_VALUE, &backup) != ERROR_SUCCESS)
        return std::wstring(L"the backup in ") + kBackupShown + L" is gone; nothing could be put back";
    Copy copy = ReadCopy(backup);
    RegCloseKey(backup);
    if (PutBack(copy, &done)) return L"";
    return done.substr(1) + L". The backup is kept in " + kBackupShown + L"; run-tests.cmd /restore tries again.";
}

WinlogonGuard::~WinlogonGuard() { Finish(); }

LeftoverRestore RestoreLeftover(std::wstring* report) {
    switch (DealWithExistingCopy(report)) {
    case Found::kNothing:
        *report = L"No backup of an interrupted test run was found; nothing to put back.";
        return LeftoverRestore::kNone;
    case Found::kOtherRun:
        return LeftoverRestore::kRunInProgress;
    case Found::kPutBack:
        return LeftoverRestore::kRestored;
    default:
        return LeftoverRestore::kFailed;
    }
}
