// The Winlogon key's DACL taken apart, set, and put back: what the guard's
// undo shares with the test that denies the tests' own user a write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A DACL as its ACEs in order, with the control bits that go with it.
struct Dacl {
    bool present = false;
    SECURITY_DESCRIPTOR_CONTROL inheritance = 0;
    BYTE revision = ACL_REVISION;
    std::vector<std::vector<BYTE>> aces;
    bool operator==(const Dacl&) const = default;
};

bool ReadDacl(const std::vector<BYTE>& descriptor, Dacl* out);
// The entry the tests put in front of the DACL to deny user KEY_SET_VALUE.
std::vector<BYTE> DenyEntryFor(const std::vector<BYTE>& user);
// Sets the Winlogon key's DACL to dacl, the rest of it as saved.
bool SetWinlogonDacl(const Dacl& dacl, const std::vector<BYTE>& saved);

enum class DaclRestore { kAsSaved, kPutBack, kLeftToOthers, kRefused, kFailed };
// Puts the saved DACL back, but only from the one state the tests leave: the
// saved DACL with the tests' deny entry in front. A DACL that holds no entry
// of ours is someone else's to keep; any other state is reported with the
// command that takes out our entry alone, and nothing is written.
DaclRestore RestoreDacl(const std::vector<BYTE>& saved, const std::vector<BYTE>& user, std::wstring* found);
