// What the runner, the Winlogon guard and the end-to-end driver all need of
// Windows, each in one place: text conversion, questions about this process
// and its token, a key's security, and the Mark of the Web.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

extern const wchar_t kWinlogonPath[];  // under HKEY_LOCAL_MACHINE

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
std::wstring FolderOf(const std::wstring& path);  // with its trailing backslash

// Wine's ntdll exports wine_get_version ("10.0"); Windows' does not: "".
std::string WineVersion();
bool RunningOnWine();
// Wine's release as major * 100 + minor (800 for 8.0, 917 for 9.17); 0 on Windows.
int WineRelease();
// TokenElevation of the process's token: what UAC granted, whatever the groups.
bool ProcessIsElevated(HANDLE process);
bool RunsAsLocalSystem();
// The token's user: a self-relative SID, empty if it cannot be read.
std::vector<BYTE> ThisUser();

// A key's owner, group and DACL, self-relative; empty if unreadable.
std::vector<BYTE> KeySecurity(HKEY key);
std::vector<BYTE> WinlogonSecurity();
// The parts of a descriptor named by what, as SDDL; "?" if it cannot be converted.
std::wstring Sddl(const void* descriptor, SECURITY_INFORMATION what);

// The whole Winlogon key: each key's security ("Winlogon\Notify (security)")
// and each value ("Winlogon\:Shell"), its type in 4 bytes and then its data.
typedef std::map<std::wstring, std::vector<BYTE>> KeyPicture;
KeyPicture PictureOfWinlogon();

// Why Windows would not run a program: its path, the Win32 error of
// CreateProcessW (or the NTSTATUS it was stopped with) and Windows' text for
// it, and what usually causes that.
std::wstring CannotStart(const std::wstring& program, DWORD error);
// Whether a process ended with a status that an application control policy
// (Smart App Control, App Control for Business, AppLocker) stops a program
// with before it runs.
bool StoppedByPolicy(DWORD exitCode);

// A file a browser downloaded, or that Explorer unpacked from such a zip,
// carries a Zone.Identifier stream: SmartScreen and Smart App Control may
// then refuse to run it.
bool CarriesMarkOfTheWeb(const std::wstring& path);
