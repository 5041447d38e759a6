#include "logon_notice_store.h"

bool SetWinlogonValue(LPCWSTR valueName, LPCWSTR text) {
    // Open, never create: the key belongs to Windows and must already exist.
    // No WOW64 flag: a 64-bit build writes the native view the logon screen reads.
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"), 0,
                      KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD bytes = DWORD(lstrlenW(text)) * sizeof(WCHAR) + sizeof(WCHAR);  // with the terminator
    LSTATUS result = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

unsigned ApplyLogonNotice(LPCWSTR text, LPCWSTR caption) {
    unsigned stored = STORED_NONE;
    if (SetWinlogonValue(TEXT("LegalNoticeText"), text)) stored |= STORED_TEXT;
    if (SetWinlogonValue(TEXT("LegalNoticeCaption"), caption)) stored |= STORED_CAPTION;
    return stored;
}
