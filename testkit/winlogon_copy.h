// The guard's copy, in a key of our own: what the tests may change, saved
// before the first change, and which run saved it. Only the guard uses it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Our own key: created for a run and deleted at its end.
inline constexpr wchar_t kBackupPath[] = L"SOFTWARE\\legalnotice tests";
inline constexpr wchar_t kBackupShown[] = L"HKLM\\SOFTWARE\\legalnotice tests";
inline constexpr wchar_t kDeleteBackup[] = L"reg delete \"HKLM\\SOFTWARE\\legalnotice tests\" /f";
extern const wchar_t* const kNoticeValues[2];
// The layout of the copy; a copy of another layout is not read.
const DWORD kFormat = 2;

struct RunRecord {  // which process made the copy
    DWORD pid;
    FILETIME started;
};
RunRecord ThisRun();

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

Copy ReadCopy(HKEY backup);
// What a complete copy lacks, if anything: such a copy is not read at all.
std::wstring Lacks(const Copy& copy);
// "" while our key is still as we make it: owned by Administrators or
// SYSTEM, and granting nothing to anyone else; else what is wrong.
std::wstring Trusted(HKEY key);

enum class Made { kMade, kTaken, kFailed };
// Makes the copy, if no other run has made one since we looked: creating the
// key is what claims the run.
Made MakeCopy(const std::wstring& scratch);
