#include "windows_helpers.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

const wchar_t kWinlogonPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    out.resize(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr));
    return out;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring out(utf8.size() + 1, L'\0');
    out.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), int(utf8.size()), out.data(), int(out.size())));
    return out;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH];
    return FolderOf(std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH)));
}

DWORD StartInJob(const std::wstring& program, const std::wstring& arguments, STARTUPINFOW* startup,
                 const wchar_t* folder, PROCESS_INFORMATION* process, HANDLE* job) {
    *job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(*job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    const BOOL inherit = (startup->dwFlags & STARTF_USESTDHANDLES) != 0;
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, CREATE_SUSPENDED, nullptr,
                        folder, startup, process)) {
        DWORD error = GetLastError();
        CloseHandle(*job);
        *job = nullptr;
        return error;
    }
    AssignProcessToJobObject(*job, process->hProcess);
    ResumeThread(process->hThread);
    return 0;
}

std::string WineVersion() {
    typedef const char*(__cdecl * WineGetVersionProc)();
    auto version = reinterpret_cast<WineGetVersionProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    return version ? version() : "";
}

bool RunningOnWine() { return !WineVersion().empty(); }

int WineRelease() {
    int major = 0, minor = 0;
    std::sscanf(WineVersion().c_str(), "%d.%d", &major, &minor);
    return major * 100 + minor;
}

bool ProcessIsElevated(HANDLE process) {
    HANDLE token;
    TOKEN_ELEVATION elevation = {0xdeadbeef};
    DWORD size = 0;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
    bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return known && elevation.TokenIsElevated == 1;
}

std::vector<BYTE> ThisUser() {
    HANDLE token;
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = sizeof buffer;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    bool known = GetTokenInformation(token, TokenUser, buffer, size, &size);
    CloseHandle(token);
    if (!known) return {};
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    const BYTE* sid = static_cast<const BYTE*>(user);
    return std::vector<BYTE>(sid, sid + GetLengthSid(user));
}

bool RunsAsLocalSystem() {
    std::vector<BYTE> user = ThisUser();
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    return !user.empty() && CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) &&
           EqualSid(user.data(), system);
}

std::vector<BYTE> KeySecurity(HKEY key) {
    const SECURITY_INFORMATION whole =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    std::vector<BYTE> descriptor(512);
    DWORD size = DWORD(descriptor.size());
    LSTATUS status;
    while ((status = RegGetKeySecurity(key, whole, descriptor.data(), &size)) == ERROR_INSUFFICIENT_BUFFER)
        descriptor.resize(size);
    descriptor.resize(status == ERROR_SUCCESS ? size : 0);
    return descriptor;
}

std::vector<BYTE> WinlogonSecurity() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL, &key) != ERROR_SUCCESS) return {};
    std::vector<BYTE> descriptor = KeySecurity(key);
    RegCloseKey(key);
    return descriptor;
}

std::wstring Sddl(const void* descriptor, SECURITY_INFORMATION what) {
    LPWSTR text = nullptr;
    if (!descriptor || !ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(descriptor),
                                                                             SDDL_REVISION_1, what, &text, nullptr))
        return L"?";
    std::wstring sddl = text;
    LocalFree(text);
    return sddl;
}

std::wstring CannotStart(const std::wstring& program, DWORD error) {
    const bool status = error >= 0xC0000000;  // an NTSTATUS, whose texts are ntdll's
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      (status ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM),
                                  status ? GetModuleHandleW(L"ntdll.dll") : nullptr, error, 0,
                                  reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring said = length ? std::wstring(text, length) : L"Windows has no text for it.";
    if (text) LocalFree(text);
    while (!said.empty() && iswspace(said.back())) said.pop_back();
    if (size_t insert = said.find(L"%1"); insert != std::wstring::npos) said.replace(insert, 2, program);
    wchar_t number[32];
    swprintf(number, 32, status ? L"status 0x%08lX" : L"error %lu", error);
    const DWORD kElevationRequired = 740;
    return program + L" could not be started (" + number + L": " + said + L"). " +
           (error == kElevationRequired
                ? L"The tests must run elevated."
                : L"The usual causes: Smart App Control, App Control for Business (WDAC) or AppLocker, which block "
                  L"programs that are not signed by a publisher they trust; an antivirus program; or a damaged "
                  L"download (compare the files with SHA256SUMS).");
}

bool StoppedByPolicy(DWORD exitCode) {
    switch (exitCode) {
    case 0xC0E90002:  // STATUS_SYSTEM_INTEGRITY_POLICY_VIOLATION: Smart App Control, App Control for Business
    case 0xC0000361:  // STATUS_ACCESS_DISABLED_BY_POLICY_DEFAULT, _PATH, _PUBLISHER, _OTHER: AppLocker, SRP
    case 0xC0000362:
    case 0xC0000363:
    case 0xC0000364:
    case 0xC0000428:  // STATUS_INVALID_IMAGE_HASH: a signature that code integrity refuses
        return true;
    default:
        return false;
    }
}

bool CarriesMarkOfTheWeb(const std::wstring& path) {
    HANDLE stream = CreateFileW((path + L":Zone.Identifier").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (stream == INVALID_HANDLE_VALUE) return false;
    CloseHandle(stream);
    return true;
}

static void Picture(HKEY parent, const std::wstring& path, const std::wstring& shown, KeyPicture* picture) {
    HKEY key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        (*picture)[shown + L" (unreadable)"];
        return;
    }
    (*picture)[shown + L" (security)"] = KeySecurity(key);
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, dataSize = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &dataSize) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(dataSize + 4);
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data() + 4, &dataSize);
        data.resize(dataSize + 4);
        memcpy(data.data(), &type, 4);
        (*picture)[shown + L"\\:" + std::wstring(name, nameLength)] = data;
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(std::wstring(name, nameLength));
    }
    for (const std::wstring& subkey : subkeys) Picture(key, subkey, shown + L"\\" + subkey, picture);
    RegCloseKey(key);
}

KeyPicture PictureOfWinlogon() {
    KeyPicture picture;
    Picture(HKEY_LOCAL_MACHINE, kWinlogonPath, L"Winlogon", &picture);
    return picture;
}

std::vector<std::wstring> Changes(const KeyPicture& before, const KeyPicture& after) {
    std::vector<std::wstring> changes;
    for (const auto& [entry, data] : before) {
        auto now = after.find(entry);
        if (now == after.end())
            changes.push_back(entry + L" is gone");
        else if (now->second != data)
            changes.push_back(entry + L" changed");
    }
    for (const auto& entry : after)
        if (!before.count(entry.first)) changes.push_back(entry.first + L" is new");
    return changes;
}
