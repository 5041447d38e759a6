// The faults the end-to-end tests make in the Winlogon key, each undone when
// it goes out of scope; the run's guard undoes them too if the test is killed.
#pragma once

#include <windows.h>

#include <vector>

// KEY_SET_VALUE denied to this user by an ACE put in front of the key's own
// DACL. When this goes, the DACL is put back only if it is still exactly
// that: the saved one with this ACE in front. WRITE_DAC stays granted, so
// however a run ends, an administrator can always put the DACL right.
class SetValueDenied {
public:
    SetValueDenied();
    ~SetValueDenied();
    bool ok;

private:
    std::vector<BYTE> original;
};

// Under Wine only, in a prefix made for the tests: the key renamed for a
// moment, so that opening it fails as if it were missing.
class WinlogonRenamedAside {
public:
    WinlogonRenamedAside();
    ~WinlogonRenamedAside();
    bool ok;
};
