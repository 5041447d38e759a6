#include "key_faults.h"

#include <string>

#include "access_list.h"
#include "windows_helpers.h"
#include "winlogon_guard.h"

SetValueDenied::SetValueDenied() : ok(false), original(WinlogonSecurity()) {
    Dacl dacl;
    std::vector<BYTE> deny = DenyEntryFor(ThisUser());
    if (deny.empty() || !ReadDacl(original, &dacl) || !dacl.present) return;
    dacl.aces.insert(dacl.aces.begin(), deny);  // in front, then the key's own ACEs in their order
    ok = SetWinlogonDacl(dacl, original);
}

SetValueDenied::~SetValueDenied() {
    std::wstring refusal;
    if (ok) RestoreDacl(original, ThisUser(), &refusal);
}

WinlogonRenamedAside::WinlogonRenamedAside()
    : ok(RunningOnWine() && RenameWinlogon(L"Winlogon", kWinlogonAside) == ERROR_SUCCESS) {}

WinlogonRenamedAside::~WinlogonRenamedAside() {
    if (ok) RenameWinlogon(kWinlogonAside, L"Winlogon");
}
