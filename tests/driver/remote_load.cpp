// DLL search: whether the planted probe DLL was loaded into a process, and
// a LoadLibraryW made in that process as Windows makes one on its behalf.
#include "exe_driver.h"

#include <cwchar>

bool ProbeLoadedIn(DWORD pid) {
    wchar_t name[64];
    swprintf(name, 64, L"planted_probe_loaded_%lu", pid);
    HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (mark) CloseHandle(mark);
    return mark != nullptr;
}

struct RemoteLoad {
    HANDLE process;  // a handle of the worker's own
    std::wstring name;
    RemoteCall result;
};

static DWORD WINAPI LoadRemotely(void* parameter) {
    RemoteLoad* load = static_cast<RemoteLoad*>(parameter);
    SIZE_T bytes = (load->name.size() + 1) * sizeof(wchar_t);
    void* remoteName = VirtualAllocEx(load->process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    // kernel32 sits at the same address in every process.
    auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    if (remoteName && WriteProcessMemory(load->process, remoteName, load->name.c_str(), bytes, nullptr)) {
        HANDLE thread = CreateRemoteThread(load->process, nullptr, 0, loadLibrary, remoteName, 0, nullptr);
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            load->result = RemoteCall::kRan;
            CloseHandle(thread);
        }
    }
    if (remoteName) VirtualFreeEx(load->process, remoteName, 0, MEM_RELEASE);
    CloseHandle(load->process);
    return 0;
}

RemoteCall LoadLibraryInto(HANDLE process, const std::wstring& name) {
    // Each step waits until the program takes it up, which under Wine now
    // and then never happens: the steps run on a worker, given 10 s (a served
    // request takes milliseconds). A worker that is still waiting then keeps
    // its copy of the request, and ends with this process.
    RemoteLoad* load = new RemoteLoad{nullptr, name, RemoteCall::kFailed};
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &load->process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        delete load;
        return RemoteCall::kFailed;
    }
    HANDLE worker = CreateThread(nullptr, 0, LoadRemotely, load, 0, nullptr);
    if (!worker) {
        CloseHandle(load->process);
        delete load;
        return RemoteCall::kFailed;
    }
    bool finished = WaitForSingleObject(worker, 10000) == WAIT_OBJECT_0;
    CloseHandle(worker);
    if (!finished) return RemoteCall::kNoAnswer;
    RemoteCall result = load->result;
    delete load;
    return result;
}
