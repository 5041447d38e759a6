#include "winlogon_guard.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <cwchar>

#include "windows_helpers.h"

namespace {

// Our own key: created for a run and deleted at its end.
const wchar_t kBackupPath[] = L"SOFTWARE\\legalnotice tests";
const wchar_t kBackupShown[] = L"HKLM\\SOFTWARE\\legalnotice tests";
const wchar_t kDeleteBackup[] = L"reg delete \"HKLM\\SOFTWARE\\legalnotice tests\" /f";
// Owned by Administrators, open to Administrators and SYSTEM only: what no
// one but an administrator can have made or changed.
const wchar_t kBackupSecurity[] = L"O:BAD:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";
// The layout of the copy; a copy of another layout is not read.
const DWORD kFormat = 2;
const wchar_t kWinlogonParent[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kAsideName[] = L"Winlogon (moved aside by legalnotice tests)";
const wchar_t* const kNoticeValues[] = {L"LegalNoticeText", L"LegalNoticeCaption"};

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

// ---- Values ----

// A value's type and bytes; false if it does not exist.
bool ReadValue(HKEY key, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    if (RegQueryValueExW(key, name, nullptr, type, data->data(), &size) != ERROR_SUCCESS) return false;
    data->resize(size);
    return true;
}

bool WriteValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), DWORD(size)) == ERROR_SUCCESS;
}

bool ReadNumber(HKEY key, const wchar_t* name, DWORD* number) {
    DWORD type, size = sizeof *number;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(number), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof *number;
}

std::wstring PresenceName(const wchar_t* value) { return std::wstring(value) + L" present"; }

// ---- Security descriptors ----

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type) { return sid && IsValidSid(sid) && IsWellKnownSid(sid, type); }

// Whether our key is still as we make it: owned by Administrators or SYSTEM,
// and granting nothing to anyone else. why says what is wrong.
bool Trusted(HKEY key, std::wstring* why) {
    std::vector<BYTE> descriptor = KeySecurity(key);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted, present = FALSE;
    if (descriptor.empty() || !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted)) {
        *why = L"unreadable";
        return false;
    }
    if (!IsSid(owner, WinBuiltinAdministratorsSid) && !IsSid(owner, WinLocalSystemSid)) {
        *why = L"owned by " + Sddl(descriptor.data(), OWNER_SECURITY_INFORMATION);
        return false;
    }
    if (!present || !dacl) {
        *why = L"open to everyone (no DACL)";
        return false;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace;
        if (!GetAce(dacl, i, &ace)) {
            *why = L"unreadable";
            return false;
        }
        BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE) continue;
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (type != ACCESS_ALLOWED_ACE_TYPE ||
            (!IsSid(sid, WinBuiltinAdministratorsSid) && !IsSid(sid, WinLocalSystemSid))) {
            *why = L"open to others than Administrators and SYSTEM (" +
                   Sddl(descriptor.data(), DACL_SECURITY_INFORMATION) + L")";
            return false;
        }
    }
    return true;
}

// Gives our key its security. Windows applies it at creation already; Wine
// does not, and gives the key this process's owner when its DACL is set.
bool Protect(HKEY key) {
    std::wstring why;
    if (Trusted(key, &why)) return true;
    PSECURITY_DESCRIPTOR descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    bool set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS &&
               RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set && Trusted(key, &why);
}

// A DACL as its ACEs in order, with the control bits that go with it.
struct Dacl {
    bool present = false;
    SECURITY_DESCRIPTOR_CONTROL inheritance = 0;
    BYTE revision = ACL_REVISION;
    std::vector<std::vector<BYTE>> aces;
    bool operator==(const Dacl&) const = default;
};

const SECURITY_DESCRIPTOR_CONTROL kInheritanceBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;

bool ReadDacl(const std::vector<BYTE>& descriptor, Dacl* out) {
    PACL acl = nullptr;
    BOOL present = FALSE, defaulted;
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    if (descriptor.empty() ||
        !GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR(descriptor.data()), &present, &acl, &defaulted) ||
        !GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR(descriptor.data()), &control, &revision))
        return false;
    *out = Dacl{present && acl, SECURITY_DESCRIPTOR_CONTROL(control & kInheritanceBits), ACL_REVISION, {}};
    if (!out->present) return true;
    out->revision = acl->AclRevision;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace;
        if (!GetAce(acl, i, &ace)) return false;
        const BYTE* bytes = static_cast<const BYTE*>(ace);
        out->aces.emplace_back(bytes, bytes + static_cast<ACE_HEADER*>(ace)->AceSize);
    }
    return true;
}

// The entry SetValueDenied puts in front of the DACL, for this user.
std::vector<BYTE> DenyEntryFor(const std::vector<BYTE>& user) {
    std::vector<BYTE> acl(sizeof(ACL) + sizeof(ACCESS_DENIED_ACE) + user.size());
    PACL list = reinterpret_cast<PACL>(acl.data());
    void* ace;
    if (user.empty() || !InitializeAcl(list, DWORD(acl.size()), ACL_REVISION) ||
        !AddAccessDeniedAceEx(list, ACL_REVISION, 0, KEY_SET_VALUE, PSID(user.data())) || !GetAce(list, 0, &ace))
        return {};
    const BYTE* bytes = static_cast<const BYTE*>(ace);
    return std::vector<BYTE>(bytes, bytes + static_cast<ACE_HEADER*>(ace)->AceSize);
}

// Calls use(descriptor) with an absolute descriptor that holds dacl.
template <class Use>
bool WithDescriptor(const Dacl& dacl, Use use) {
    DWORD size = sizeof(ACL);
    for (const auto& ace : dacl.aces) size += DWORD(ace.size());
    std::vector<BYTE> acl(size);
    PACL list = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(list, size, dacl.revision)) return false;
    for (const auto& ace : dacl.aces)
        if (!AddAce(list, dacl.revision, MAXDWORD, const_cast<BYTE*>(ace.data()), DWORD(ace.size()))) return false;
    SECURITY_DESCRIPTOR descriptor;
    return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, dacl.present, dacl.present ? list : nullptr, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, kInheritanceBits, dacl.inheritance) && use(&descriptor);
}

std::wstring DaclSddl(const Dacl& dacl) {
    std::wstring sddl = L"?";
    WithDescriptor(dacl, [&](PSECURITY_DESCRIPTOR descriptor) {
        sddl = Sddl(descriptor, DACL_SECURITY_INFORMATION);
        return true;
    });
    return sddl;
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

// Sets the Winlogon key's DACL, and only its DACL: setting an owner such as
// TrustedInstaller would need privileges an administrator does not hold by
// default. Windows leaves owner and group alone when only the DACL is set;
// Wine gives the key this process's own, and only there are they put back
// as saved.
bool SetWinlogonDacl(PSECURITY_DESCRIPTOR descriptor, const std::vector<BYTE>& saved) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    std::vector<BYTE> now = KeySecurity(key);
    RegCloseKey(key);
    if (ok && !SameOwnerAndGroup(now, saved) &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, WRITE_OWNER, &key) == ERROR_SUCCESS) {
        ok = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                               PSECURITY_DESCRIPTOR(saved.data())) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    return ok;
}

std::wstring DaclFixCommand(const std::wstring& sddl) {
    return L"powershell -NoProfile -Command \"$k = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey("
           L"'SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon', 'ReadWriteSubTree', "
           L"'ReadPermissions, ChangePermissions'); $a = $k.GetAccessControl('Access'); "
           L"$a.SetSecurityDescriptorSddlForm('" +
           sddl + L"', 'Access'); $k.SetAccessControl($a)\"";
}

enum class DaclRestore { kAsSaved, kPutBack, kLeftToOthers, kRefused, kFailed };

// Puts the saved DACL back, but only from the one state the tests leave: the
// saved DACL with the tests' deny entry in front. A DACL that holds no entry
// of ours is someone else's to keep; any other state is reported with the
// command that takes out our entry alone, and nothing is written.
DaclRestore RestoreDacl(const std::vector<BYTE>& saved, const std::vector<BYTE>& user, std::wstring* found) {
    Dacl was, now;
    std::vector<BYTE> ours = DenyEntryFor(user);
    if (!ReadDacl(saved, &was) || !ReadDacl(WinlogonSecurity(), &now) || ours.empty()) return DaclRestore::kFailed;
    if (now == was) return DaclRestore::kAsSaved;
    Dacl denied = was;
    denied.aces.insert(denied.aces.begin(), ours);
    // The saved descriptor's own DACL, byte for byte: one rebuilt from its
    // entries would lose any spare room the key's DACL was stored with.
    if (now == denied)
        return SetWinlogonDacl(PSECURITY_DESCRIPTOR(saved.data()), saved) ? DaclRestore::kPutBack
                                                                          : DaclRestore::kFailed;
    Dacl without = now;
    std::erase(without.aces, ours);
    if (without.aces.size() == now.aces.size()) return DaclRestore::kLeftToOthers;
    *found =
        L"the Winlogon key's DACL is neither as it was saved nor that with the tests' deny entry in front.\r\n"
        L"  Now:   " +
        DaclSddl(now) + L"\r\n  Saved: " + DaclSddl(was) +
        L"\r\n  Nothing was overwritten. To take out the tests' entry alone, run this in an elevated command "
        L"prompt, then run-tests.cmd /restore:\r\n  " +
        DaclFixCommand(DaclSddl(without));
    return DaclRestore::kRefused;
}

// ---- The copy ----

struct SavedValue {
    bool recorded = false;  // the copy says whether the value existed
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct Copy {
    DWORD format = 0;
    bool runKnown = false;
    RunRecord run = {};
    std::vector<BYTE> user, security;
    SavedValue values[2];
    std::wstring scratch;
    DWORD complete = 0;
    FILETIME written = {};
};

Copy ReadCopy(HKEY backup) {
    Copy copy;
    ReadNumber(backup, L"Format", &copy.format);
    ReadNumber(backup, L"Complete", &copy.complete);
    DWORD type;
    std::vector<BYTE> run;
    copy.runKnown = ReadValue(backup, L"Run", &type, &run) && run.size() == sizeof copy.run;
    if (copy.runKnown) memcpy(&copy.run, run.data(), sizeof copy.run);
    ReadValue(backup, L"User", &type, &copy.user);
    ReadValue(backup, L"Security", &type, &copy.security);
    for (int i = 0; i < 2; ++i) {
        DWORD present;
        SavedValue& value = copy.values[i];
        value.recorded = ReadNumber(backup, PresenceName(kNoticeValues[i]).c_str(), &present) && present <= 1;
        value.present = present == 1;
        if (value.present) value.recorded = ReadValue(backup, kNoticeValues[i], &value.type, &value.data);
    }
    std::vector<BYTE> scratch;
    if (ReadValue(backup, L"Scratch", &type, &scratch) && type == REG_SZ && scratch.size() >= sizeof(wchar_t))
        copy.scratch.assign(reinterpret_cast<const wchar_t*>(scratch.data()), scratch.size() / sizeof(wchar_t) - 1);
    RegQueryInfoKeyW(backup, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &copy.written);
    return copy;
}

// What a complete copy lacks, if anything: such a copy is not read at all.
std::wstring Lacks(const Copy& copy) {
    std::wstring lacks;
    auto lack = [&lacks](const std::wstring& what) { lacks += (lacks.empty() ? L"" : L", ") + what; };
    if (copy.user.empty() || !IsValidSid(PSID(copy.user.data()))) lack(L"the run's user");
    if (copy.security.empty() || !IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR(copy.security.data())))
        lack(L"the key's security");
    for (int i = 0; i < 2; ++i)
        if (!copy.values[i].recorded) lack(std::wstring(L"an entry for ") + kNoticeValues[i]);
    return lacks;
}

bool Written(HKEY backup, const wchar_t* name, DWORD number) {
    return WriteValue(backup, name, REG_DWORD, &number, sizeof number);
}

enum class Made { kMade, kTaken, kFailed };

// Makes the copy, if no other run has made one since we looked: creating the
// key is what claims the run.
Made MakeCopy(const std::wstring& scratch) {
    PSECURITY_DESCRIPTOR protection;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupSecurity, SDDL_REVISION_1, &protection, nullptr))
        return Made::kFailed;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, protection, FALSE};
    HKEY backup, winlogon;
    DWORD disposition = 0;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, &attributes, &backup, &disposition);
    LocalFree(protection);
    if (status != ERROR_SUCCESS) return Made::kFailed;
    if (disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(backup);
        return Made::kTaken;
    }
    RunRecord run = ThisRun();
    std::vector<BYTE> user = ThisUser(), security = WinlogonSecurity();
    // The run first: a copy without it looks like one being made right now.
    bool ok = WriteValue(backup, L"Run", REG_BINARY, &run, sizeof run) && Protect(backup) &&
              Written(backup, L"Format", kFormat) && !user.empty() &&
              WriteValue(backup, L"User", REG_BINARY, user.data(), user.size()) && !security.empty() &&
              WriteValue(backup, L"Security", REG_BINARY, security.data(), security.size()) &&
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_QUERY_VALUE, &winlogon) == ERROR_SUCCESS;
    if (ok) {
        for (const wchar_t* name : kNoticeValues) {
            DWORD type, size = 0;
            std::vector<BYTE> data;
            // Absent only when Windows says so: a value that cannot be read is no reason to delete it later.
            LSTATUS found = RegQueryValueExW(winlogon, name, nullptr, &type, nullptr, &size);
            bool present = found == ERROR_SUCCESS;
            ok = ok && (found == ERROR_FILE_NOT_FOUND || (present && ReadValue(winlogon, name, &type, &data))) &&
                 (!present || WriteValue(backup, name, type, data.data(), data.size())) &&
                 Written(backup, PresenceName(name).c_str(), present);
        }
        RegCloseKey(winlogon);
    }
    if (ok && !scratch.empty())
        ok = WriteValue(backup, L"Scratch", REG_SZ, scratch.c_str(), (scratch.size() + 1) * sizeof(wchar_t));
    // Written last: only a complete copy is ever put back.
    ok = ok && Written(backup, L"Complete", 1) && RegFlushKey(backup) == ERROR_SUCCESS;
    RegCloseKey(backup);
    if (!ok) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kBackupPath);
    return ok ? Made::kMade : Made::kFailed;
}

// ---- Putting back ----

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
    if (!KeyExists(kWinlogonPath) && KeyExists(std::wstring(kWinlogonParent) + L"\\" + kAsideName)) {
        bool renamed = RenameWinlogon(kAsideName, L"Winlogon") == ERROR_SUCCESS;
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
    std::wstring why;
    if (!Trusted(backup, &why)) {
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

bool WinlogonGuard::Finish(std::wstring* problems) {
    if (!owner) return true;
    owner = false;
    HKEY backup;
    std::wstring done;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupPath, 0, KEY_QUERY_VALUE, &backup) != ERROR_SUCCESS) {
        *problems = std::wstring(L"the backup in ") + kBackupShown + L" is gone; nothing could be put back";
        return false;
    }
    Copy copy = ReadCopy(backup);
    RegCloseKey(backup);
    if (PutBack(copy, &done)) return true;
    *problems = done.substr(1) + L". The backup is kept in " + kBackupShown + L"; run-tests.cmd /restore tries again.";
    return false;
}

WinlogonGuard::~WinlogonGuard() {
    std::wstring problems;
    Finish(&problems);
}

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

SetValueDenied::SetValueDenied() : ok(false), original(WinlogonSecurity()) {
    Dacl dacl;
    std::vector<BYTE> deny = DenyEntryFor(ThisUser());
    if (deny.empty() || !ReadDacl(original, &dacl) || !dacl.present) return;
    dacl.aces.insert(dacl.aces.begin(), deny);  // in front, then the key's own ACEs in their order
    ok = WithDescriptor(dacl, [&](PSECURITY_DESCRIPTOR descriptor) { return SetWinlogonDacl(descriptor, original); });
}

SetValueDenied::~SetValueDenied() {
    std::wstring refusal;
    if (ok) RestoreDacl(original, ThisUser(), &refusal);
}

WinlogonRenamedAside::WinlogonRenamedAside()
    : ok(RunningOnWine() && RenameWinlogon(L"Winlogon", kAsideName) == ERROR_SUCCESS) {}

WinlogonRenamedAside::~WinlogonRenamedAside() {
    if (ok) RenameWinlogon(kAsideName, L"Winlogon");
}
