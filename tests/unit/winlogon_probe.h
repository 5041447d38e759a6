// Reads and resets the Winlogon key behind the store's back: through the
// stand-in's controls on the host (winlogon_probe.cpp), through the real
// registry API on Windows (testkit/winlogon_probe_windows.cpp).
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

typedef std::basic_string<WCHAR> WString;

struct RawValue {
    DWORD type;
    std::vector<BYTE> bytes;
    bool operator==(const RawValue&) const = default;
};
typedef std::map<WString, RawValue> KeySnapshot;

// Every value of the key, read raw; empty if the key is absent.
KeySnapshot SnapshotWinlogon();
// Puts the key's values back as they were (absent values are deleted).
void RestoreWinlogon(const KeySnapshot& before, const WString& name);

#ifdef _WIN32
#include "windows_helpers.h"

KeySnapshot ValuesIn(const KeyPicture& picture);  // the values of the key itself
#endif

inline RawValue SzBytes(const WString& text) {  // REG_SZ data with the terminator
    RawValue value{REG_SZ, std::vector<BYTE>((text.size() + 1) * sizeof(WCHAR))};
    std::memcpy(value.bytes.data(), text.c_str(), value.bytes.size());
    return value;
}
void PutWinlogonString(const WString& name, const WString& text);
