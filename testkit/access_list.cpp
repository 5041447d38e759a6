#include "access_list.h"

#include "windows_helpers.h"

namespace {

const SECURITY_DESCRIPTOR_CONTROL kInheritanceBits = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;

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

}  // namespace

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

bool SetWinlogonDacl(const Dacl& dacl, const std::vector<BYTE>& saved) {
    return WithDescriptor(dacl, [&](PSECURITY_DESCRIPTOR descriptor) { return SetWinlogonDacl(descriptor, saved); });
}

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
