// startup_bench PAIRS PROGRAM FLOOR: starts PROGRAM and FLOOR alternately,
// PAIRS times after one warm-up each, and reports for both the time from
// process creation to the first visible top-level window and the peak
// working set, as medians, with the median of the pairwise ratios.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Run {
    double milliseconds;
    double peakKilobytes;
};

HWND VisibleWindowOf(DWORD pid) {
    struct Search {
        DWORD pid;
        HWND found;
    } search{pid, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM context) {
            Search* search = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner != search->pid || !IsWindowVisible(hwnd) || GetWindow(hwnd, GW_OWNER)) return TRUE;
            search->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool Measure(const std::wstring& path, Run& run) {
    LARGE_INTEGER frequency, start, shown;
    QueryPerformanceFrequency(&frequency);
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    HWND window = nullptr;
    for (DWORD begun = GetTickCount(); !(window = VisibleWindowOf(process.dwProcessId));) {
        if (GetTickCount() - begun > 10000) break;
        Sleep(0);
    }
    QueryPerformanceCounter(&shown);
    bool ok = window != nullptr;
    WaitForInputIdle(process.hProcess, 5000);  // the first paint is part of starting up
    PROCESS_MEMORY_COUNTERS memory = {sizeof memory};
    ok = ok && GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory);
    run = Run{1000.0 * double(shown.QuadPart - start.QuadPart) / double(frequency.QuadPart),
              double(memory.PeakWorkingSetSize) / 1024.0};
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        ok = false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring Wide(const char* text) {
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, MAX_PATH);
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: startup_bench PAIRS PROGRAM FLOOR\n");
        return 2;
    }
    int pairs = std::atoi(argv[1]);
    std::wstring paths[2] = {Wide(argv[2]), Wide(argv[3])};
    Run run;
    for (const std::wstring& path : paths)
        if (!Measure(path, run)) {  // warm-up: caches, the wineserver, fonts
            std::fprintf(stderr, "could not start %ls\n", path.c_str());
            return 1;
        }
    std::vector<double> time[2], peak[2], timeRatio, peakRatio;
    for (int i = 0; i < pairs; ++i) {
        Run pair[2];
        for (int k = 0; k < 2; ++k) {
            int which = (i + k) % 2;  // alternate which of the two goes first
            if (!Measure(paths[which], pair[which])) {
                std::fprintf(stderr, "run %d of %ls failed\n", i + 1, paths[which].c_str());
                return 1;
            }
        }
        for (int which = 0; which < 2; ++which) {
            time[which].push_back(pair[which].milliseconds);
            peak[which].push_back(pair[which].peakKilobytes);
        }
        timeRatio.push_back(pair[0].milliseconds / pair[1].milliseconds);
        peakRatio.push_back(pair[0].peakKilobytes / pair[1].peakKilobytes);
        std::printf("pair %2d: program %7.2f ms %8.0f KiB | floor %7.2f ms %8.0f KiB\n", i + 1, pair[0].milliseconds,
                    pair[0].peakKilobytes, pair[1].milliseconds, pair[1].peakKilobytes);
    }
    std::printf("\nmedians over %d pairs       program      floor    ratio (median of pairs)\n", pairs);
    std::printf("start-up to visible (ms) %9.2f  %9.2f    %.3f\n", Median(time[0]), Median(time[1]), Median(timeRatio));
    std::printf("peak working set (KiB)   %9.0f  %9.0f    %.3f\n", Median(peak[0]), Median(peak[1]), Median(peakRatio));
    return 0;
}
