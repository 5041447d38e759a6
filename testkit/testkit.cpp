// tests\testkit.exe: what run-tests.cmd and run-in-sandbox.cmd run.
//
//   testkit [/report FOLDER] [EXE]  the suite on the bundle's legalnotice.exe, or on EXE
//   testkit /restore                only puts back what an interrupted run changed
//   testkit /sandbox                writes a Windows Sandbox configuration that runs the suite, and starts it
//
// Exit status of a run: 0 all passed, 1 something failed, 2 the suite could
// not run. Its last line is "N passed, M failed".
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "runner.h"
#include "windows_helpers.h"
#include "winlogon_guard.h"

const wchar_t* const kTestPrograms[3] = {L"store_tests", L"exe_tests", L"driver_tests"};

namespace {

bool CanWriteIn(const std::wstring& folder) {
    HANDLE probe = CreateFileW((folder + L"legalnotice-tests-can-write").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    CloseHandle(probe);
    return true;
}

// Runs each test program in the scratch folder, its report moved into the
// report folder; adds up their tallies. False if the suite could not go on.
bool RunTestPrograms(const std::wstring& scratch, const std::wstring& report, Results* total) {
    for (const wchar_t* name : kTestPrograms) {
        Say(L"");
        Say(std::wstring(L"==== ") + name);
        // Reports are written in the scratch folder and moved over.
        std::wstring xml = std::wstring(name) + L".xml";
        DeleteFileW((report + L"\\" + xml).c_str());
        const std::wstring program = OwnFolder() + name + L".exe";
        Outcome ran = RunProgram(program, L"--gtest_output=xml:" + xml, scratch, 300);
        MoveFileExW((scratch + L"\\" + xml).c_str(), (report + L"\\" + xml).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        total->passed += ran.results.passed;
        total->failed += ran.results.failed;
        total->skipped += ran.results.skipped;
        // Stopped as it started, it printed nothing; a test program that
        // cannot go on says so itself.
        if (ran.startError || (!ran.printed && StoppedByPolicy(ran.code))) {
            Say(CannotStart(program, ran.startError ? ran.startError : ran.code));
            return false;
        }
        if (ran.couldNotRun) return false;
        if (!ran.counted || (ran.code != 0 && ran.results.failed == 0)) {
            Say(std::wstring(name) + L" ended with exit code " + std::to_wstring(ran.code) +
                L" without reporting a failed test: counted as one failure");
            ++total->failed;
        }
    }
    return true;
}

int RunSuite(const std::wstring& askedReport, const std::wstring& askedExe) {
    Results total;
    if (!askedReport.empty()) WriteExitCodeTo(askedReport);  // whatever follows
    // Refusals first, before anything else is written anywhere.
    std::wstring exe = FullPath(askedExe.empty() ? BundleFolder() + L"legalnotice.exe" : askedExe);
    if (std::wstring why = CannotRunHere(exe); !why.empty()) {
        Say(why);
        return Finish(total, 2);
    }
    const std::wstring scratch = NewScratchPath();
    if (scratch.empty()) {
        Say(L"Could not make a random name for the scratch folder. Nothing was changed.");
        return Finish(total, 2);
    }
    // Claims the run: a second run stops here, before it touches the report.
    WinlogonGuard guard(scratch);
    if (!guard.ok) {
        Say(guard.report);
        return Finish(total, 2);
    }

    std::wstring note, report = OpenReport(askedReport, &note);
    Say(L"legalnotice " LEGALNOTICE_VERSION L" tests");
    if (report.empty()) {
        Say(note + L"; there is nowhere to write the report. Nothing was changed.");
        return Finish(total, 2);
    }
    if (!guard.report.empty()) Say(guard.report);
    DescribeThisMachine();
    Say(L"Tested exe:     " + exe);
    Say(L"SHA-256:        " + Sha256Of(exe));
    if (!note.empty()) Say(note + L"; the report goes to " + report + L" instead.");
    Say(L"Report:         " + report);
    if (std::wstring why = MakeScratchFolder(scratch); !why.empty()) {
        Say(L"Could not make the scratch folder " + scratch + L": " + why + L". Nothing was changed.");
        return Finish(total, 2);
    }
    Say(L"Scratch folder: " + scratch + L" (removed at the end)");
    KeyPicture before = PictureOfWinlogon();
    // The DLL search test plants a DLL beside the exe. Where its folder is
    // read-only (Windows Sandbox maps the bundle so), a copy is tested.
    std::wstring tested = exe;
    if (!CanWriteIn(FolderOf(exe))) {
        tested = scratch + L"\\legalnotice.exe";
        if (!CopyFileW(exe.c_str(), tested.c_str(), FALSE)) tested = exe;
        Say(L"The exe's folder cannot be written to; the tests run an identical copy: " + tested);
    }
    SetEnvironmentVariableW(L"LEGALNOTICE_EXE", tested.c_str());
    SetEnvironmentVariableW(L"LEGALNOTICE_REPORT_DIR", report.c_str());
    bool couldNotRun = !RunTestPrograms(scratch, report, &total);
    std::wstring why;
    if (!couldNotRun && total.failed && !(why = DesktopTakesInput()).empty()) {
        Say(L"The desktop stopped taking input during the run, so the failures above may come from that: " + why);
        couldNotRun = true;
    }
    if (couldNotRun) Say(L"The suite could not run to its end (above); what it changed is put back.");

    Say(L"");
    std::wstring problems = guard.Finish();  // the scratch folder too
    if (!problems.empty()) Say(L"The Winlogon key was not put back: " + problems);
    std::vector<std::wstring> changes = Changes(before, PictureOfWinlogon());
    if (changes.empty()) {
        Say(L"The Winlogon key is as it was before the run: security, every value, every subkey.");
        ++total.passed;
    } else {
        Say(L"FAILED: the Winlogon key is not as it was before the run:");
        for (const std::wstring& change : changes) Say(L"  " + change);
        ++total.failed;
    }
    Say(L"Report: " + report +
        L" (run-tests.log, store_tests.xml, exe_tests.xml, driver_tests.xml, pictures of the window)");
    return Finish(total, !problems.empty() || couldNotRun ? 2 : total.failed ? 1 : 0);
}

int Restore() {
    if (!ProcessIsElevated(GetCurrentProcess())) {
        Say(L"run-tests.cmd /restore must run as an administrator, elevated. Nothing was changed.");
        return 2;
    }
    std::wstring report;
    LeftoverRestore result = RestoreLeftover(&report);
    Say(report);
    return result == LeftoverRestore::kNone || result == LeftoverRestore::kRestored ? 0 : 2;
}

void Usage() {
    Say(L"usage: run-tests.cmd [/report FOLDER] [EXE]   runs the suite on the bundle's legalnotice.exe, or on EXE");
    Say(L"       run-tests.cmd /restore                 only puts back what an interrupted run changed");
    Say(L"       run-in-sandbox.cmd                     runs the suite in Windows Sandbox");
}

int Command(int argc, wchar_t** argv) {
    std::wstring report, exe;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argc == 2 && _wcsicmp(argv[i], L"/restore") == 0) return Restore();
        if (argc == 2 && _wcsicmp(argv[i], L"/sandbox") == 0) return Sandbox();
        if (_wcsicmp(argv[i], L"/report") == 0 && i + 1 < argc && report.empty()) {
            report = argv[++i];
        } else if (argument.empty() || argument[0] == L'/' || !exe.empty()) {
            Usage();
            return Finish(Results(), 2);
        } else {
            exe = argument;
        }
    }
    return RunSuite(report, exe);
}

// The .cmd files set LEGALNOTICE_PAUSE when they were opened by their path,
// as Explorer does: then a console window would close before it was read.
// Only a console, both ways: output to a pipe or a file has no one waiting.
void WaitForAKeyIfAsked() {
    wchar_t asked[4];
    DWORD mode, done;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetEnvironmentVariableW(L"LEGALNOTICE_PAUSE", asked, 4) || !GetConsoleMode(input, &mode) ||
        !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        return;
    const wchar_t prompt[] = L"Press any key to close this window.";
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), prompt, DWORD(wcslen(prompt)), &done, nullptr);
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    while (ReadConsoleInputW(input, &record, 1, &done) &&
           !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int status = Command(argc, argv);
    WaitForAKeyIfAsked();
    return status;
}
