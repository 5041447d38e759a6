// A DLL planted beside the exe under test, under a name no system DLL has.
// Loading it leaves a mark the driver can see: a named event per process.
#include <windows.h>

#include <cwchar>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t name[64];
        std::swprintf(name, 64, L"planted_probe_loaded_%lu", GetCurrentProcessId());
        CreateEventW(nullptr, TRUE, TRUE, name);  // kept open: it lives as long as the process
    }
    return TRUE;
}
