// The store tests' reading of the Winlogon key on Windows, through the
// registry API: the values of the key itself, taken from its picture.
#include "winlogon_probe.h"

#include <cstring>

KeySnapshot ValuesIn(const KeyPicture& picture) {
    KeySnapshot values;
    const std::wstring prefix = L"Winlogon\\:";  // a value of the key itself, not of a subkey
    for (const auto& [entry, data] : picture) {
        if (!entry.starts_with(prefix) || data.size() < 4) continue;
        RawValue value{0, std::vector<BYTE>(data.begin() + 4, data.end())};
        std::memcpy(&value.type, data.data(), 4);
        values[entry.substr(prefix.size())] = value;
    }
    return values;
}

KeySnapshot SnapshotWinlogon() { return ValuesIn(PictureOfWinlogon()); }

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
