// The only changes the tests make to the Winlogon key, made safe to run on a
// real machine. The tests change nothing but LegalNoticeText and
// LegalNoticeCaption, and, for a moment, the key's DACL. Before the first
// change a guard copies those (or notes their absence) to a key of our own,
// HKLM\SOFTWARE\legalnotice tests, that only administrators and SYSTEM may
// touch; at the end it puts back what the tests changed, and only that, and
// removes the copy. The copy also marks a run in progress: one run at a
// time. A run that finds the copy of a run that was killed puts it back
// first.
#pragma once

#include <windows.h>

#include <string>

class WinlogonGuard {
public:
    // Puts back a copy left by a killed run, then makes a new one. Refuses
    // (ok false) as LocalSystem, while another run is going, or when a copy
    // it finds cannot be trusted or put back. Within a run (run-tests.cmd
    // around a test program) that run's copy stands for this one too.
    // scratchFolder, if given, is a folder the run is about to make: it is
    // recorded, so that the next run removes it if this one is killed.
    explicit WinlogonGuard(const std::wstring& scratchFolder = L"");
    // Puts back what the tests changed and removes the copy, if this guard made it.
    ~WinlogonGuard();
    bool ok;              // the key is guarded; false: change nothing, and report says why
    std::wstring report;  // what was found and done, for the log; empty when there is nothing to say
    // The destructor's work, early: "" once all is put back, else what was
    // found and how to put it right.
    std::wstring Finish();

private:
    bool owner = false;
};

// run-tests.cmd /restore: only puts back what a killed run left.
enum class LeftoverRestore { kNone, kRestored, kRunInProgress, kFailed };
LeftoverRestore RestoreLeftover(std::wstring* report);

// Under Wine only, in a prefix made for the tests, a test renames the key to
// kWinlogonAside for a moment, so that opening it fails as if it were
// missing; a guard renames it back after a crash. RegRenameKey on the key's
// parent: ERROR_SUCCESS or the error.
extern const wchar_t kWinlogonAside[];
LSTATUS RenameWinlogon(const wchar_t* from, const wchar_t* to);
