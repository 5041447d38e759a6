// In-memory HKEY_LOCAL_MACHINE with just enough of ADVAPI32 for the store.
#include <cctype>
#include <cstring>
#include <set>

#include "standin_control.h"

namespace standin {

extern std::vector<std::string> journal;  // shared with the window stand-in

const char16_t kWinlogonPath[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

namespace {

struct Fault {
    LSTATUS error = ERROR_SUCCESS;
    int nth = -1;  // -1 none, 0 every call, n the nth call
    bool Hits(int call) const { return nth == 0 || nth == call; }
};

bool winlogonExists;
RegistryKey winlogon;
std::map<HKEY, REGSAM> openHandles;
ULONG_PTR nextHandle;
Fault openFault, setFault;
std::vector<OpenCall> openCalls;
std::vector<SetCall> setCalls;
int closeCount;

bool SamePathIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x < 128 && y < 128 ? std::tolower(x) != std::tolower(y) : x != y) return false;
    }
    return true;
}

RegistryValue SzValue(const std::u16string& text) {  // REG_SZ bytes with the terminator
    RegistryValue value{REG_SZ, {}};
    value.data.resize((text.size() + 1) * sizeof(char16_t));
    std::memcpy(value.data.data(), text.c_str(), value.data.size());
    return value;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 128 ? char(c) : '?';
    return out;
}

// A fresh HKLM holding only the Winlogon key with a few unrelated values.
void ResetRegistry() {
    winlogonExists = true;
    winlogon.clear();
    winlogon[u"Shell"] = SzValue(u"explorer.exe");
    winlogon[u"Userinit"] = SzValue(u"C:\\Windows\\system32\\userinit.exe,");
    openHandles.clear();
    nextHandle = 0x1000;
    openFault = setFault = Fault{};
    openCalls.clear();
    setCalls.clear();
    closeCount = 0;
}

void RemoveWinlogonKey() {
    winlogonExists = false;
    winlogon.clear();
}

void FailOpen(LSTATUS error, int nth) { openFault = Fault{error, nth}; }
void FailSet(LSTATUS error, int nth) { setFault = Fault{error, nth}; }

const RegistryKey* WinlogonKey() { return winlogonExists ? &winlogon : nullptr; }

const RegistryValue* WinlogonValue(const std::u16string& name) {
    auto it = winlogon.find(name);
    return winlogonExists && it != winlogon.end() ? &it->second : nullptr;
}

std::u16string WinlogonText(const std::u16string& name) {
    const RegistryValue* value = WinlogonValue(name);
    if (!value || value->data.size() < 2) return u"<absent>";
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / 2 - 1);
}

void PutWinlogonValue(const std::u16string& name, const std::u16string& text) { winlogon[name] = SzValue(text); }

const std::vector<OpenCall>& OpenCalls() { return openCalls; }
const std::vector<SetCall>& SetCalls() { return setCalls; }
int CloseCount() { return closeCount; }
int OpenHandleCount() { return int(openHandles.size()); }

}  // namespace standin

using namespace standin;

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    journal.push_back("RegOpenKeyExW");
    openCalls.push_back({hKey, lpSubKey ? lpSubKey : u"", ulOptions, samDesired});
    if (openFault.Hits(int(openCalls.size()))) return openFault.error;
    if (hKey != HKEY_LOCAL_MACHINE || !lpSubKey || !SamePathIgnoringCase(lpSubKey, kWinlogonPath) || !winlogonExists)
        return ERROR_FILE_NOT_FOUND;
    HKEY handle = reinterpret_cast<HKEY>(nextHandle++);
    openHandles[handle] = samDesired;
    *phkResult = handle;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    std::u16string name = lpValueName ? lpValueName : u"";
    journal.push_back("RegSetValueExW " + Narrow(name));
    setCalls.push_back({name, Reserved, dwType, cbData});
    auto handle = openHandles.find(hKey);
    if (handle == openHandles.end()) return ERROR_INVALID_HANDLE;
    if (!(handle->second & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (setFault.Hits(int(setCalls.size()))) return setFault.error;
    winlogon[name] = RegistryValue{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    journal.push_back("RegCloseKey");
    if (!openHandles.erase(hKey)) return ERROR_INVALID_HANDLE;
    ++closeCount;
    return ERROR_SUCCESS;
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    int length = 0;
    if (lpString)
        while (lpString[length]) ++length;
    return length;
}
