// Runs one test program for run-tests.cmd: its output passed on line by
// line and read for its tally, its time limited, and nothing of it left
// running however the run ends.
#include <windows.h>

#include <cstdio>

#include "runner.h"
#include "windows_helpers.h"

namespace {

struct Watch {
    HANDLE process, job;
    DWORD limitSeconds;
    bool ended;
};

// Ends the job if its program outlasts the limit.
DWORD WINAPI Watchdog(void* parameter) {
    Watch* watch = static_cast<Watch*>(parameter);
    if (WaitForSingleObject(watch->process, watch->limitSeconds * 1000) == WAIT_TIMEOUT) {
        watch->ended = true;
        TerminateJobObject(watch->job, 1);
    }
    return 0;
}

// What one line of a test program's output says.
void ReadLine(const std::string& line, Outcome* outcome) {
    outcome->counted = std::sscanf(line.c_str(), "results: %d passed, %d failed, %d skipped", &outcome->results.passed,
                                   &outcome->results.failed, &outcome->results.skipped) == 3 ||
                       outcome->counted;
    outcome->couldNotRun = line.starts_with("could not run: ") || outcome->couldNotRun;
}

}  // namespace

Outcome RunProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& folder,
                   DWORD limitSeconds) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE reader, writer;
    if (!CreatePipe(&reader, &writer, &inheritable, 0)) {
        outcome.startError = GetLastError();
        return outcome;
    }
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = startup.hStdError = writer;
    PROCESS_INFORMATION process = {};
    HANDLE job;
    outcome.startError = StartInJob(program, arguments, &startup, folder.c_str(), &process, &job);
    CloseHandle(writer);
    if (!outcome.startError) {
        Watch watch{process.hProcess, job, limitSeconds, false};
        HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
        std::string pending;
        char buffer[4096];
        DWORD read;
        while (ReadFile(reader, buffer, sizeof buffer, &read, nullptr) && read) {  // until the program and its own end
            pending.append(buffer, read);
            outcome.printed = true;
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
                std::string line = pending.substr(0, end + 1);
                ReadLine(line, &outcome);
                Write(line);
            }
        }
        Write(pending);
        WaitForSingleObject(process.hProcess, INFINITE);
        WaitForSingleObject(watchdog, INFINITE);
        CloseHandle(watchdog);
        if (watch.ended)
            Say(L"\r\n" + program + L" ran longer than " + std::to_wstring(limitSeconds) + L" s and was ended");
        GetExitCodeProcess(process.hProcess, &outcome.code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(job);
    }
    CloseHandle(reader);
    return outcome;
}
