// run-in-sandbox.cmd: the suite in Windows Sandbox, a throwaway Windows that
// the run cannot harm. Writes the sandbox's configuration, starts it, and
// waits for the run inside to end.
#include <windows.h>  // first: the others need its types

#include <shellapi.h>

#include "runner.h"
#include "windows_helpers.h"

namespace {

// The first bytes of a small file; empty if it cannot be read.
std::string FileText(const std::wstring& path) {
    char text[64];
    DWORD read = 0;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    if (!ReadFile(file, text, sizeof text, &read, nullptr)) read = 0;
    CloseHandle(file);
    return std::string(text, read);
}

std::wstring XmlEscaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text)
        out += c == L'&'    ? L"&amp;"
               : c == L'<'  ? L"&lt;"
               : c == L'>'  ? L"&gt;"
               : c == L'"'  ? L"&quot;"
               : c == L'\'' ? L"&apos;"
                            : std::wstring(1, c);
    return out;
}

}  // namespace

// A configuration that maps the bundle's folder read-only and a results
// folder beside it writable, and runs the suite at sign-in. Windows Sandbox
// wants absolute host folders that exist.
int Sandbox() {
    if (std::wstring marks = MarkOfTheWeb(); !marks.empty()) {  // the sandbox sees the same marks
        Say(marks);
        return 2;
    }
    std::wstring bundle = BundleFolder();
    if (bundle.size() > 3 && bundle.back() == L'\\') bundle.pop_back();
    std::wstring results = bundle + L"-results";
    if (!CreateDirectoryW(results.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        results = TempFolder() + L"legalnotice-tests-results";
        CreateDirectoryW(results.c_str(), nullptr);
    }
    const std::wstring inside = L"C:\\legalnotice-tests", insideResults = L"C:\\legalnotice-results";
    std::wstring configuration =
        L"<Configuration>\r\n"
        L"  <MappedFolders>\r\n"
        L"    <MappedFolder>\r\n"
        L"      <HostFolder>" +
        XmlEscaped(bundle) +
        L"</HostFolder>\r\n"
        L"      <SandboxFolder>" +
        inside +
        L"</SandboxFolder>\r\n"
        L"      <ReadOnly>true</ReadOnly>\r\n"
        L"    </MappedFolder>\r\n"
        L"    <MappedFolder>\r\n"
        L"      <HostFolder>" +
        XmlEscaped(results) +
        L"</HostFolder>\r\n"
        L"      <SandboxFolder>" +
        insideResults +
        L"</SandboxFolder>\r\n"
        L"      <ReadOnly>false</ReadOnly>\r\n"
        L"    </MappedFolder>\r\n"
        L"  </MappedFolders>\r\n"
        L"  <LogonCommand>\r\n"
        L"    <Command>cmd.exe /k " +
        inside + L"\\run-tests.cmd /report " + insideResults +
        L"</Command>\r\n"
        L"  </LogonCommand>\r\n"
        L"</Configuration>\r\n";
    std::string utf8 = Utf8(configuration);
    std::wstring path = results + L"\\legalnotice-tests.wsb";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    bool saved = file != INVALID_HANDLE_VALUE && WriteFile(file, utf8.data(), DWORD(utf8.size()), &written, nullptr) &&
                 written == utf8.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!saved) {
        Say(L"Could not write " + path + L".");
        return 2;
    }
    Say(L"Windows Sandbox configuration: " + path);
    Say(L"  " + bundle + L" is mapped read-only to " + inside + L"; the report appears in " + results + L".");
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (!length || !FileExists(std::wstring(system, length) + L"\\WindowsSandbox.exe")) {
        Say(L"Windows Sandbox is not installed. It comes with Windows 10 and 11 Pro, Enterprise and Education:");
        Say(L"turn on \"Windows Sandbox\" in \"Turn Windows features on or off\", or in an elevated PowerShell run");
        Say(L"  Enable-WindowsOptionalFeature -Online -FeatureName Containers-DisposableClientVM -All");
        Say(L"then restart Windows and run run-in-sandbox.cmd again (or open the configuration above).");
        return 2;
    }
    // What the run inside writes: its log as it starts, its exit code at its end.
    const std::wstring log = results + L"\\run-tests.log", status = results + L"\\exit-code.txt";
    DeleteFileW(log.c_str());  // a report of an earlier run
    DeleteFileW(status.c_str());
    SHELLEXECUTEINFOW open = {sizeof open};
    open.lpVerb = L"open";
    open.lpFile = path.c_str();
    open.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&open)) {
        Say(L"Could not start Windows Sandbox (error " + std::to_wstring(GetLastError()) + L").");
        return 2;
    }
    Say(L"Windows Sandbox is starting; this waits for the run inside it, which starts as the sandbox signs in.");
    const DWORD start = GetTickCount();
    while (!FileExists(log) && !FileExists(status)) {
        if (GetTickCount() - start > 5 * 60 * 1000) {
            Say(L"The run has not started in Windows Sandbox within 5 minutes: some Windows 11 releases do not run a");
            Say(L"sandbox's logon command. Run it in the sandbox by hand, and its report appears in " + results + L":");
            Say(L"  " + inside + L"\\run-tests.cmd /report " + insideResults);
            Say(L"or run the tests in a virtual machine.");
            return 2;
        }
        Sleep(1000);
    }
    Say(L"The run has started in Windows Sandbox; it takes about a minute.");
    while (!FileExists(status)) {
        if (GetTickCount() - start > 30 * 60 * 1000) {
            Say(L"The run in Windows Sandbox has not ended within 30 minutes; look at the sandbox's window, and at " +
                log + L".");
            return 2;
        }
        Sleep(1000);
    }
    const std::string code = FileText(status);
    const int ended = code.size() >= 1 && code[0] >= '0' && code[0] <= '2' ? code[0] - '0' : 2;
    Say(L"The run in Windows Sandbox ended with exit code " + std::to_wstring(ended) +
        L" (0: all passed, 1: a failure, 2: it could not run).");
    Say(L"Its report is in " + results + L"; close the sandbox to throw it away.");
    return ended;
}
