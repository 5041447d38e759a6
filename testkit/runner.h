// What the files of tests\testkit.exe, the runner, share: saying things and
// where they go, the checks before a run, running a test program, and the
// Windows Sandbox launcher. The commands themselves are in testkit.cpp.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The test programs run-tests.cmd runs, in tests\ and in this order.
extern const wchar_t* const kTestPrograms[3];

// ---- The report and the scratch folder (report.cpp) ----
void Write(const std::string& utf8);  // to the console or pipe, and to the log
void Say(const std::wstring& line);
std::wstring FullPath(const std::wstring& path);
std::wstring BundleFolder();  // the folder above tests\, with its backslash
bool FileExists(const std::wstring& path);
std::wstring TempFolder();
struct Results {
    int passed = 0, failed = 0, skipped = 0;
};
// Where the run's exit code goes at its end, for run-in-sandbox.cmd to read:
// exit-code.txt in folder; by default beside the log.
void WriteExitCodeTo(const std::wstring& folder);
// Says the tally, closes the log, writes the exit code; returns status.
int Finish(const Results& total, int status);
// The report folder: the one asked for, else report\ in the bundle's folder,
// else (a read-only bundle) one under %TEMP%. Opens the log in it; "" if none
// could be written to, and note says why the first choice was passed over.
std::wstring OpenReport(const std::wstring& asked, std::wstring* note);
std::wstring NewScratchPath();  // "" if no random name could be made
// Makes the scratch folder for Administrators and SYSTEM only: "" or why not.
std::wstring MakeScratchFolder(const std::wstring& path);

// ---- Before a run (preflight.cpp) ----
// "" if the suite may run on exe here, else what stops it and what to do.
std::wstring CannotRunHere(const std::wstring& exe);
// "" while this session's desktop takes input and shows what is drawn, as
// the window tests need, else which need is not met and what to do.
std::wstring DesktopTakesInput();
// "" unless some of the bundle's programs carry the Mark of the Web: then
// which, and how to clear it.
std::wstring MarkOfTheWeb();
void DescribeThisMachine();
std::wstring Sha256Of(const std::wstring& path);

// ---- Running a test program (run_program.cpp) ----
struct Outcome {
    DWORD startError = 0;      // CreateProcessW's error, if it could not be started
    DWORD code = ~0u;          // its exit code
    bool printed = false;      // anything at all
    bool counted = false;      // its "results: P passed, F failed, S skipped" line
    bool couldNotRun = false;  // a "could not run: " line: the run cannot go on
    Results results;
};
// Runs program in folder, passing its output on line by line; a program that
// outlasts the limit is ended.
Outcome RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                   DWORD limitSeconds);

// ---- run-in-sandbox.cmd (sandbox.cpp) ----
int Sandbox();
