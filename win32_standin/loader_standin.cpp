// The few KERNEL32 calls that decide where DLLs are loaded from. The stand-in
// loads nothing: it records what the program asked for.
#include <algorithm>
#include <cstdio>

#include "standin_control.h"

namespace standin {

extern std::vector<std::string> journal;  // shared with the window stand-in

namespace {

bool withoutSetDefaultDllDirectories, failSetDefaultDllDirectories;
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(ULONG_PTR(0x7FF800000000));

BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "SetDefaultDllDirectories 0x%X", unsigned(directoryFlags));
    journal.push_back(entry);
    return !failSetDefaultDllDirectories;
}

}  // namespace

void ResetLoader() { withoutSetDefaultDllDirectories = failSetDefaultDllDirectories = false; }
void RemoveSetDefaultDllDirectories() { withoutSetDefaultDllDirectories = true; }
void FailSetDefaultDllDirectories() { failSetDefaultDllDirectories = true; }

}  // namespace standin

using namespace standin;

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    return lpModuleName && std::u16string(lpModuleName) == u"kernel32.dll" ? kKernel32 : nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, const CHAR* lpProcName) {
    if (hModule != kKernel32 || withoutSetDefaultDllDirectories ||
        std::string(lpProcName) != "SetDefaultDllDirectories")
        return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectories));
}

BOOL WINAPI SetDllDirectoryW(LPCWSTR lpPathName) {
    journal.push_back("SetDllDirectoryW \"" + Narrow(lpPathName ? lpPathName : u"<null>") + "\"");
    return TRUE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    const std::u16string system32 = u"C:\\Windows\\system32";
    if (uSize <= system32.size()) return UINT(system32.size() + 1);
    std::copy(system32.c_str(), system32.c_str() + system32.size() + 1, lpBuffer);
    return UINT(system32.size());
}

HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE, DWORD dwFlags) {
    char flags[16];
    std::snprintf(flags, sizeof flags, " 0x%X", unsigned(dwFlags));
    journal.push_back("LoadLibraryExW " + Narrow(lpLibFileName) + flags);
    return nullptr;
}
