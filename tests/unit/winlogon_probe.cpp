#include "winlogon_probe.h"

#include "standin_control.h"

KeySnapshot SnapshotWinlogon() {
    KeySnapshot values;
    if (const standin::RegistryKey* key = standin::WinlogonKey())
        for (const auto& [name, value] : *key) values[name] = RawValue{value.type, value.data};
    return values;
}

void RestoreWinlogon(const KeySnapshot&, const WString&) {}  // every host test starts from a fresh stand-in

void PutWinlogonString(const WString& name, const WString& text) { standin::PutWinlogonValue(name, text); }
