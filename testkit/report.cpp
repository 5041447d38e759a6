// Saying things, and where they go: the console or pipe, the log in the
// report folder, the exit-code file; and the scratch folder the test
// programs run in.
#include <windows.h>  // first: the others need its types

#include <bcrypt.h>
#include <sddl.h>

#include <cwchar>

#include "runner.h"
#include "windows_helpers.h"

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
std::wstring statusFile;

}  // namespace

// A console shows any text given as UTF-16; a pipe or a file gets UTF-8.
void Write(const std::string& utf8) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, written;
    if (GetConsoleMode(out, &mode)) {
        std::wstring text = Wide(utf8);
        WriteConsoleW(out, text.c_str(), DWORD(text.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), DWORD(utf8.size()), &written, nullptr);
    }
    if (logFile != INVALID_HANDLE_VALUE) WriteFile(logFile, utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

void Say(const std::wstring& line) { Write(Utf8(line) + "\r\n"); }

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length && length < MAX_PATH ? full : path;
}

std::wstring BundleFolder() { return FullPath(OwnFolder() + L"..\\"); }

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    return GetTempPathW(MAX_PATH, temp) ? temp : L"C:\\";
}

void WriteExitCodeTo(const std::wstring& folder) { statusFile = FullPath(folder) + L"\\exit-code.txt"; }

int Finish(const Results& total, int status) {
    if (total.skipped) Say(std::to_wstring(total.skipped) + L" skipped (see the log for why)");
    Say(std::to_wstring(total.passed) + L" passed, " + std::to_wstring(total.failed) + L" failed");
    if (logFile != INVALID_HANDLE_VALUE) CloseHandle(logFile);
    if (!statusFile.empty()) {  // whole or not at all: written aside, then moved in
        CreateDirectoryW(FolderOf(statusFile).c_str(), nullptr);
        std::wstring aside = statusFile + L".new";
        HANDLE file = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        std::string code = std::to_string(status) + "\r\n";
        DWORD written;
        bool saved =
            file != INVALID_HANDLE_VALUE && WriteFile(file, code.data(), DWORD(code.size()), &written, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (saved) MoveFileExW(aside.c_str(), statusFile.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return status;
}

std::wstring OpenReport(const std::wstring& asked, std::wstring* note) {
    std::vector<std::wstring> candidates;
    if (!asked.empty()) {
        candidates.push_back(FullPath(asked));
    } else {
        candidates.push_back(BundleFolder() + L"report");
        candidates.push_back(TempFolder() + L"legalnotice-tests-report");
    }
    for (const std::wstring& folder : candidates) {
        CreateDirectoryW(folder.c_str(), nullptr);
        logFile = CreateFileW((folder + L"\\run-tests.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
        if (logFile != INVALID_HANDLE_VALUE) {
            statusFile = folder + L"\\exit-code.txt";
            return folder;
        }
        if (note->empty())
            *note = L"The folder " + folder + L" cannot be written to (error " + std::to_wstring(GetLastError()) + L")";
    }
    return L"";
}

// Where the test programs run: under the Windows folder's Temp, a path of
// plain ASCII (GoogleTest names its report's folder through the ANSI code
// page, which may lack the letters of C:\Users\Иван\...), with a name no one
// can guess. Empty if no random name could be made.
std::wstring NewScratchPath() {
    wchar_t windows[MAX_PATH];
    UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    unsigned char random[16];
    if (!length || length >= MAX_PATH ||
        BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return L"";
    wchar_t name[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) swprintf(name + 2 * i, 3, L"%02x", random[i]);
    return std::wstring(windows, length) + L"\\Temp\\legalnotice-tests-" + name;
}

// A standard user may create folders in the Windows folder's Temp and would
// own them, so one that is there already, or is a link, is refused.
std::wstring MakeScratchFolder(const std::wstring& path) {
    PSECURITY_DESCRIPTOR protection;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)",
                                                              SDDL_REVISION_1, &protection, nullptr))
        return L"its permissions could not be made";
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, protection, FALSE};
    BOOL made = CreateDirectoryW(path.c_str(), &attributes);
    DWORD error = GetLastError();
    LocalFree(protection);
    if (!made) return error == ERROR_ALREADY_EXISTS ? L"it is there already" : L"error " + std::to_wstring(error);
    DWORD kind = GetFileAttributesW(path.c_str());
    if (kind == INVALID_FILE_ATTRIBUTES || !(kind & FILE_ATTRIBUTE_DIRECTORY) || (kind & FILE_ATTRIBUTE_REPARSE_POINT))
        return L"it is not a plain folder";
    return L"";
}
