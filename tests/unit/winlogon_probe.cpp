#include "winlogon_probe.h"

#include <cstring>

#ifndef _WIN32
#include "standin_control.h"
#endif

RawValue SzBytes(const WString& text) {
    RawValue value{REG_SZ, std::vector<BYTE>((text.size() + 1) * sizeof(WCHAR))};
    std::memcpy(value.bytes.data(), text.c_str(), value.bytes.size());
    return value;
}

#ifdef _WIN32

KeySnapshot SnapshotWinlogon() {
    KeySnapshot values;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        WCHAR name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        RawValue value{type, std::vector<BYTE>(size)};
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type, value.bytes.data(), &size);
        value.bytes.resize(size);
        values[WString(name, nameLength)] = value;
    }
    RegCloseKey(key);
    return values;
}

void RestoreWinlogon(const KeySnapshot& before, const WString& name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    auto it = before.find(name);
    if (it == before.end())
        RegDeleteValueW(key, name.c_str());
    else
        RegSetValueExW(key, name.c_str(), 0, it->second.type, it->second.bytes.data(), DWORD(it->second.bytes.size()));
    RegCloseKey(key);
}

void PutWinlogonString(const WString& name, const WString& text) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RawValue value = SzBytes(text);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, value.bytes.data(), DWORD(value.bytes.size()));
    RegCloseKey(key);
}

#else

KeySnapshot SnapshotWinlogon() {
    KeySnapshot values;
    if (const standin::RegistryKey* key = standin::WinlogonKey())
        for (const auto& [name, value] : *key) values[name] = RawValue{value.type, value.data};
    return values;
}

void RestoreWinlogon(const KeySnapshot&, const WString&) {}  // every host test starts from a fresh stand-in

void PutWinlogonString(const WString& name, const WString& text) { standin::PutWinlogonValue(name, text); }

#endif
