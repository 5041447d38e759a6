// window_probe focus CLASS [ID]: waits until the control with ID in the
// top-level window of class CLASS has the keyboard focus (without ID: until
// that window is the foreground one), so that keys typed through X next
// reach it. ID "button" is a message box's button, found as the end-to-end
// driver finds it. Exit code 0 once it has, 1 after 10 s.
// window_probe text CLASS ID: prints that control's text as UTF-8.
// window_probe state: prints the whole Winlogon key, a line for each key's
// security (SDDL, then its bytes in hex) and for each value (text, or its
// bytes in hex).
// window_probe roomy-dacl: gives the Winlogon key's DACL 64 bytes of spare
// room past its entries, as some keys' DACLs are stored on Windows.
// window_probe elevated|unelevated COMMAND: runs COMMAND as an administrator's
// programs run once UAC has elevated them, or before; exits with its exit code.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exe_driver.h"

static HWND Control(const wchar_t* className, const char* id) {
    HWND window = FindWindowW(className, nullptr);
    if (!window || !id) return window;
    return std::strcmp(id, "button") == 0 ? PartsOf(window).button : GetDlgItem(window, std::atoi(id));
}

static int WaitForFocusOf(const wchar_t* className, const char* id) {
    HWND control = nullptr;
    std::string why = "there is no such window";
    if (WaitUntil([&] { return (control = Control(className, id)) != nullptr; }) &&
        (why = WaitForFocus(control)).empty())
        return 0;
    std::fprintf(stderr, "%ls %s never got the focus: %s\n", className, id ? id : "", why.c_str());
    return 1;
}

static int PrintText(const wchar_t* className, const char* id) {
    HWND control = Control(className, id);
    if (!control) return 1;
    std::string text = Utf8(EditTextOf(control));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

static std::string Hex(const std::vector<BYTE>& data) {
    std::string hex;
    char byte[4];
    for (BYTE value : data) hex += (std::snprintf(byte, 4, "%02x", value), byte);
    return hex;
}

static int PrintWinlogonState() {
    KeyPicture picture = PictureOfWinlogon();
    for (const auto& [entry, data] : picture) {
        std::string shown;
        DWORD type = REG_NONE;
        if (data.size() >= 4) std::memcpy(&type, data.data(), 4);
        if (entry.ends_with(L" (security)")) {
            shown = Utf8(Sddl(data.data(),
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) +
                    " " + Hex(data);
        } else if (type == REG_SZ) {  // the terminator shown as \0, like any other NUL
            std::wstring text;
            for (size_t at = 4; at + 1 < data.size(); at += 2) {
                wchar_t unit = wchar_t(data[at] | data[at + 1] << 8);
                text += unit ? std::wstring(1, unit) : L"\\0";
            }
            shown = "\"" + Utf8(text) + "\"";
        } else {
            shown = Hex(data);
        }
        std::printf("%s = %s\n", Utf8(entry).c_str(), shown.c_str());
    }
    return picture.empty() ? 1 : 0;
}

static int GiveTheDaclRoom() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS) return 1;
    std::vector<BYTE> saved = KeySecurity(key);
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted;
    SECURITY_DESCRIPTOR descriptor;
    bool given = !saved.empty() && GetSecurityDescriptorDacl(saved.data(), &present, &dacl, &defaulted) && dacl;
    if (given) {
        std::vector<BYTE> roomy(dacl->AclSize + 64, 0);
        std::memcpy(roomy.data(), dacl, dacl->AclSize);
        reinterpret_cast<PACL>(roomy.data())->AclSize = WORD(roomy.size());
        given = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(roomy.data()), FALSE) &&
                RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return given ? 0 : 1;
}

static int RunAs(bool elevated) {
    PROCESS_INFORMATION process;
    if (!StartAs(elevated, Argument(2), &process)) return 125;
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    return int(code);
}

int main(int argc, char** argv) {
    if (argc == 2 && !std::strcmp(argv[1], "state")) return PrintWinlogonState();
    if (argc == 2 && !std::strcmp(argv[1], "roomy-dacl")) return GiveTheDaclRoom();
    if (argc == 3 && !std::strcmp(argv[1], "elevated")) return RunAs(true);
    if (argc == 3 && !std::strcmp(argv[1], "unelevated")) return RunAs(false);
    bool focus = argc >= 3 && argc <= 4 && !std::strcmp(argv[1], "focus");
    bool text = argc == 4 && !std::strcmp(argv[1], "text");
    if (!focus && !text) {
        std::fprintf(stderr,
                     "usage: window_probe focus CLASS [ID|button] | text CLASS ID | state | elevated|unelevated "
                     "COMMAND | roomy-dacl\n");
        return 2;
    }
    std::wstring className = Wide(argv[2]);
    const char* id = argc == 4 ? argv[3] : nullptr;
    return focus ? WaitForFocusOf(className.c_str(), id) : PrintText(className.c_str(), id);
}
