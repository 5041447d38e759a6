// The only changes the tests make to the Winlogon key, made safe to run on a
// real machine. The tests change nothing but LegalNoticeText and
// LegalNoticeCaption, and, for a minute, the key's DACL. Before the first
// change a guard copies those (or notes their absence) to a key of our own;
// at the end it puts them back and removes the copy. A run that finds a copy
// left by a run that was killed puts it back first.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

extern const wchar_t kWinlogonPath[];  // under HKEY_LOCAL_MACHINE

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningOnWine();

class WinlogonGuard {
public:
    // Puts back a copy left by a killed run, then makes a new one, unless a
    // run that is still going (run-tests.cmd around a test program) already
    // guards the key: then that run's copy stands for this one too.
    WinlogonGuard();
    // Puts everything back and removes the copy, if this guard made it.
    ~WinlogonGuard();
    bool ok;                // the key is guarded; false: change nothing
    std::wstring report;    // what was found and done, for the log; empty when there is nothing to say
    std::wstring Finish();  // the destructor's work, early; returns what could not be put back

private:
    bool owner = false;
};

// run-tests.cmd /restore: only puts back what a killed run left.
enum class LeftoverRestore { kNone, kRestored, kRunInProgress, kFailed };
LeftoverRestore RestoreLeftover(std::wstring* report);

// KEY_SET_VALUE denied to this user by an ACE put in front of the key's own
// DACL, which is put back exactly when this goes. WRITE_DAC stays granted,
// so however a run ends, an administrator can always put the DACL right.
class SetValueDenied {
public:
    SetValueDenied();
    ~SetValueDenied();
    bool ok;

private:
    std::vector<BYTE> original;
};

// Under Wine only, in a prefix made for the tests: the key renamed for a
// moment, so that opening it fails as if it were missing. A guard renames it
// back after a crash.
class WinlogonRenamedAside {
public:
    WinlogonRenamedAside();
    ~WinlogonRenamedAside();
    bool ok;
};
