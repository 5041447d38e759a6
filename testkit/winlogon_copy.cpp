#include "winlogon_copy.h"

#include <sddl.h>

#include "windows_helpers.h"

const wchar_t* const kNoticeValues[2] = {L"LegalNoticeText", L"LegalNoticeCaption"};

namespace {

// Owned by Administrators, open to Administrators and SYSTEM only: what no
// one but an administrator can have made or changed.
const wchar_t kBackupSecurity[] = L"O:BAD:P(A;CI;KA;;;BA)(A;CI;KA;;;SY)";

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

bool Written(HKEY backup, const wchar_t* name, DWORD number) {
    return WriteValue(backup, name, REG_DWORD, &number, sizeof number);
}

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type) { return sid && IsValidSid(sid) && IsWellKnownSid(sid, type); }

}  // namespace

RunRecord ThisRun() {
    RunRecord run{GetCurrentProcessId(), {}};
    FILETIME exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &run.started, &exited, &kernel, &user);
    return run;
}

std::wstring Trusted(HKEY key) {
    std::vector<BYTE> descriptor = KeySecurity(key);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted, present = FALSE;
    if (descriptor.empty() || !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted))
        return L"unreadable";
    if (!IsSid(owner, WinBuiltinAdministratorsSid) && !IsSid(owner, WinLocalSystemSid))
        return L"owned by " + Sddl(descriptor.data(), OWNER_SECURITY_INFORMATION);
    if (!present || !dacl) return L"open to everyone (no DACL)";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace;
        if (!GetAce(dacl, i, &ace)) return L"unreadable";
        BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE) continue;
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (type != ACCESS_ALLOWED_ACE_TYPE ||
            (!IsSid(sid, WinBuiltinAdministratorsSid) && !IsSid(sid, WinLocalSystemSid)))
            return L"open to others than Administrators and SYSTEM (" +
                   Sddl(descriptor.data(), DACL_SECURITY_INFORMATION) + L")";
    }
    return L"";
}

// Gives our key its security. Windows applies it at creation already; Wine
// does not, and gives the key this process's owner when its DACL is set.
static bool Protect(HKEY key) {
    if (Trusted(key).empty()) return true;
    PSECURITY_DESCRIPTOR descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kBackupSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    bool set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS &&
               RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set && Trusted(key).empty();
}

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
