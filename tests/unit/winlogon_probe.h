// Reads and resets the Winlogon key behind the store's back: through the real
// registry API on Windows, through the stand-in's controls on the host.
#pragma once

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
#include "windows_helpers.h"  // kWinlogonPath

// In a Windows test program (tests/unit/guarded_winlogon.cpp): the run cannot
// go on, for a reason outside the program under test, such as a program
// that Windows will not start. Says why in a "could not run: " line, which
// run-tests.cmd's runner reads, puts the key back, and ends with 2.
[[noreturn]] void CouldNotRun(const std::wstring& why);
#endif

RawValue SzBytes(const WString& text);  // REG_SZ data with the terminator
void PutWinlogonString(const WString& name, const WString& text);
