#include "winlogon_guard.h"

const wchar_t kWinlogonPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

namespace {

// Our own key: created for a run and deleted at its end.
const wchar_t kBackupPath[] = L"SOFTWARE\\legalnotice tests";
const wchar_t kWinlogonParent[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kAsideName[] = L"Winlogon (moved aside by legalnotice tests)";
const wchar_t* const kNoticeValues[] = {L"LegalNoticeText", L"LegalNoticeCaption"};
const SECURITY_INFORMATION kWholeSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

struct RunRecord {  // which process made the copy
    DWORD pid;
    FILETIME started;
};

RunRecord ThisRun() {
    RunRecord run{GetCurrentProcessId(), {}};
    FILETIME exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &run.started, &exited, &kernel, &user);
    return run;
}

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

// A value's type and bytes; false if it does not exist.
bool ReadValue(HKEY key, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    if (RegQueryValueExW(key, name, nullptr, type, data->data(), &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    return true;
}

bool WriteValue(HKEY key, const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), DWORD(data.size())) == ERROR_SUCCESS;
}

std::vector<BYTE> KeySecurity(HKEY key) {
    std::vector<BYTE> descriptor(512);
    DWORD size = DWORD(descriptor.size());
    LSTATUS status;
    while ((status = RegGetKeySecurity(key, kWholeSecurity, descriptor.data(), &size)) == ERROR_INSUFFICIENT_BUFFER)
        descriptor.resize(size);
    descriptor.resize(status == ERROR_SUCCESS ? size : 0);
    return descriptor;
}

std::vector<BYTE> WinlogonSecurity() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return {};
    std::vector<BYTE> descriptor = KeySecurity(key);
    RegCloseKey(key);
    return descriptor;
}

bool SameOwnerAndGroup(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
    PSID ownerA, ownerB, groupA, groupB;
    BOOL defaulted;
    if (a.empty() || b.empty() || !GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR(a.data()), &ownerA, &defaulted) ||
        !GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR(b.data()), &ownerB, &defaulted) ||
        !GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR(a.data()), &groupA, &defaulted) ||
        !GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR(b.data()), &groupB, &defaulted))
        return false;
    auto same = [](PSID x, PSID y) { return x == y || (x && y && EqualSid(x, y)); };
    return same(ownerA, ownerB) && same(groupA, groupB);
}

// Sets the DACL back as saved. Only the DACL: it is all the tests change, and
// setting an owner such as TrustedInstaller back would need privileges an
// administrator does not hold by default.
bool PutSecurityBack(const std::vector<BYTE>& saved) {
    HKEY key;
    if (!saved.empty() && WinlogonSecurity() == saved) return true;  // untouched: write nothing
    if (saved.empty() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, PSECURITY_DESCRIPTOR(saved.data())) == ERROR_SUCCESS;
    std::vector<BYTE> now = KeySecurity(key);
    RegCloseKey(key);
    // Windows leaves owner and group alone when only the DACL is set; Wine
    // gives the key this process's own. Put them back where that happened.
    if (ok && !SameOwnerAndGroup(now, saved)) {
        ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, WRITE_OWNER, &key) == ERROR_SUCCESS;
        if (ok) {
            ok = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                                   PSECURITY_DESCRIPTOR(saved.data())) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    return ok && WinlogonSecurity() == saved;
}

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

bool KeyExists(const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Puts back what the copy in backup holds; on success the copy is deleted.
// Appends what it did, or could not do, to report.
bool PutBack(HKEY backup, std::wstring* report) {
    bool ok = true;
    if (!KeyExists(kWinlogonPath) && KeyExists(std::wstring(kWinlogonParent) + L"\\" + kAsideName)) {
        bool renamed = RenameWinlogon(kAsideName, L"Winlogon") == ERROR_SUCCESS;
        *report += renamed ? L" renamed the Winlogon key back;" : L" could NOT rename the Winlogon key back;";
        ok = renamed;
    }
    DWORD type;
    std::vector<BYTE> security;
    if (ReadValue(backup, L"Security", &type, &security) && PutSecurityBack(security)) {
        *report += L" put back the key's DACL;";
    } else {
        *report += L" could NOT put back the key's DACL;";
        ok = false;
    }
    HKEY winlogon;
    bool opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_SET_VALUE, &winlogon) == ERROR_SUCCESS;
    for (const wchar_t* name : kNoticeValues) {
        std::vector<BYTE> data;
        bool existed = ReadValue(backup, name, &type, &data);
        LSTATUS status = !opened   ? ERROR_ACCESS_DENIED
                         : existed ? RegSetValueExW(winlogon, name, 0, type, data.data(), DWORD(data.size()))
                                   : RegDeleteValueW(winlogon, name);
        bool done = status == ERROR_SUCCESS || (!existed && status == ERROR_FILE_NOT_FOUND);
        *report +=
            std::wstring(done ? L" put back " : L" could NOT put back ") + name + (existed ? L";" : L" (absent);");
        ok = ok && done;
    }
    if (opened) RegCloseKey(winlogon);
    report->pop_back();
    if (ok && RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath) != ERROR_SUCCESS) {
        *report += L"; could NOT remove the backup";
        ok = false;
    }
    return ok;
}

std::wstring DescribeRun(const RunRecord& run) {
    SYSTEMTIME time;
    FileTimeToSystemTime(&run.started, &time);
    wchar_t text[96];
    swprintf(text, 96, L"process %lu, started %04u-%02u-%02u %02u:%02u:%02u UTC", run.pid, time.wYear, time.wMonth,
             time.wDay, time.wHour, time.wMinute, time.wSecond);
    return text;
}

enum class Found { kNothing, kRunning, kPutBack, kFailed };

// Deals with a copy that is already there: leaves a running run's copy
// alone, and puts back one whose run was killed.
Found DealWithExistingCopy(std::wstring* report) {
    HKEY backup;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, KEY_QUERY_VALUE, &backup) != ERROR_SUCCESS)
        return Found::kNothing;
    RunRecord run{};
    DWORD type, complete = 0, size = sizeof run;
    bool known =
        RegQueryValueExW(backup, L"Run", nullptr, &type, reinterpret_cast<BYTE*>(&run), &size) == ERROR_SUCCESS &&
        size == sizeof run;
    size = sizeof complete;
    RegQueryValueExW(backup, L"Complete", nullptr, &type, reinterpret_cast<BYTE*>(&complete), &size);
    if (known && StillRunning(run)) {
        RegCloseKey(backup);
        *report = L"The Winlogon key is guarded by a test run that is still going (" + DescribeRun(run) + L").";
        return Found::kRunning;
    }
    std::wstring who = known ? L" (" + DescribeRun(run) + L")" : L"";
    Found found;
    if (complete != 1) {  // killed before its first change: nothing to put back
        RegCloseKey(backup);
        found = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath) == ERROR_SUCCESS ? Found::kPutBack : Found::kFailed;
        *report = L"Found an unfinished backup of a test run that was interrupted before it changed anything" + who +
                  (found == Found::kPutBack ? L"; removed it." : L"; could NOT remove it.");
        return found;
    }
    std::wstring done;
    found = PutBack(backup, &done) ? Found::kPutBack : Found::kFailed;
    RegCloseKey(backup);
    *report = L"Found the backup of a test run that was interrupted" + who + L":" + done + L".";
    if (found == Found::kFailed)
        *report += L" The backup is kept in HKLM\\SOFTWARE\\legalnotice tests; run-tests.cmd /restore tries again.";
    return found;
}

bool MakeCopy() {
    HKEY backup, winlogon;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &backup, nullptr) != ERROR_SUCCESS)
        return false;
    RunRecord run = ThisRun();
    std::vector<BYTE> security = WinlogonSecurity();
    bool ok = RegSetValueExW(backup, L"Run", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&run), sizeof run) ==
                  ERROR_SUCCESS &&
              !security.empty() && WriteValue(backup, L"Security", REG_BINARY, security) &&
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_QUERY_VALUE, &winlogon) == ERROR_SUCCESS;
    if (ok) {
        for (const wchar_t* name : kNoticeValues) {
            DWORD type;
            std::vector<BYTE> data;
            if (ReadValue(winlogon, name, &type, &data)) ok = ok && WriteValue(backup, name, type, data);
        }
        RegCloseKey(winlogon);
    }
    const DWORD complete = 1;  // written last: only a complete copy is ever put back
    ok = ok && RegSetValueExW(backup, L"Complete", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&complete),
                              sizeof complete) == ERROR_SUCCESS;
    ok = ok && RegFlushKey(backup) == ERROR_SUCCESS;
    RegCloseKey(backup);
    if (!ok) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath);
    return ok;
}

}  // namespace

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

WinlogonGuard::WinlogonGuard() : ok(false) {
    Found found = DealWithExistingCopy(&report);
    if (found == Found::kRunning) {
        report.clear();  // the run around us speaks for the key
        ok = true;
        return;
    }
    if (found == Found::kFailed) return;
    owner = ok = MakeCopy();
    if (!ok)
        report += std::wstring(report.empty() ? L"" : L" ") +
                  L"Could not back up the notice values and the Winlogon key's DACL to "
                  L"HKLM\\SOFTWARE\\legalnotice tests; nothing was changed.";
}

std::wstring WinlogonGuard::Finish() {
    if (!owner) return L"";
    owner = false;
    HKEY backup;
    std::wstring done;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, KEY_QUERY_VALUE, &backup) != ERROR_SUCCESS)
        return L"the backup in HKLM\\SOFTWARE\\legalnotice tests is gone; nothing could be put back";
    bool putBack = PutBack(backup, &done);
    RegCloseKey(backup);
    return putBack ? L"" : done.substr(1);
}

WinlogonGuard::~WinlogonGuard() { Finish(); }

LeftoverRestore RestoreLeftover(std::wstring* report) {
    switch (DealWithExistingCopy(report)) {
    case Found::kNothing:
        *report = L"No backup of an interrupted test run was found; nothing to put back.";
        return LeftoverRestore::kNone;
    case Found::kRunning:
        return LeftoverRestore::kRunInProgress;
    case Found::kPutBack:
        return LeftoverRestore::kRestored;
    default:
        return LeftoverRestore::kFailed;
    }
}

SetValueDenied::SetValueDenied() : ok(false), original(WinlogonSecurity()) {
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted;
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    if (original.empty() ||
        !GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR(original.data()), &present, &dacl, &defaulted) || !present ||
        !dacl || !GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR(original.data()), &control, &revision))
        return;
    HANDLE token;
    BYTE userBuffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = sizeof userBuffer;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    bool gotUser = GetTokenInformation(token, TokenUser, userBuffer, size, &size);
    CloseHandle(token);
    if (!gotUser) return;
    PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;

    // The deny ACE first, then the key's own ACEs in their order.
    std::vector<BYTE> acl(dacl->AclSize + sizeof(ACCESS_DENIED_ACE) + GetLengthSid(user));
    PACL denying = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(denying, DWORD(acl.size()), dacl->AclRevision) ||
        !AddAccessDeniedAceEx(denying, dacl->AclRevision, 0, KEY_SET_VALUE, user))
        return;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace;
        if (!GetAce(dacl, i, &ace) ||
            !AddAce(denying, dacl->AclRevision, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize))
            return;
    }
    SECURITY_DESCRIPTOR descriptor;
    const SECURITY_DESCRIPTOR_CONTROL inheritance = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    HKEY key;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, denying, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, inheritance, control & inheritance) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, WRITE_DAC, &key) != ERROR_SUCCESS)
        return;
    ok = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    RegCloseKey(key);
}

SetValueDenied::~SetValueDenied() {
    if (ok) PutSecurityBack(original);
}

WinlogonRenamedAside::WinlogonRenamedAside()
    : ok(RunningOnWine() && RenameWinlogon(L"Winlogon", kAsideName) == ERROR_SUCCESS) {}

WinlogonRenamedAside::~WinlogonRenamedAside() {
    if (ok) RenameWinlogon(kAsideName, L"Winlogon");
}
