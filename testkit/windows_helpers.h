// What the runner, the Winlogon guard and the end-to-end driver all need of
// Windows, each in one place: text conversion, this program's folder,
// starting a program in a job, questions about this process and its token,
// the Winlogon key's picture and security, and the Mark of the Web.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

extern const wchar_t kWinlogonPath[];  // under HKEY_LOCAL_MACHINE

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
std::wstring FolderOf(const std::wstring& path);  // with its trailing backslash
std::wstring OwnFolder();                         // this program's, as FolderOf gives it

// Starts program with arguments, suspended, in a new job that ends it and all
// it starts once the job's last handle is closed, then lets it run: a failed
// check or a killed run leaves nothing running. Handles are inherited when
// startup gives standard handles. 0, or CreateProcessW's error.
DWORD StartInJob(const std::wstring& program, const std::wstring& arguments, STARTUPINFOW* startup,
                 const wchar_t* folder, PROCESS_INFORMATION* process, HANDLE* job);

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
// A key that cannot be opened is one entry, "Winlogon (unreadable)".
typedef std::map<std::wstring, std::vector<BYTE>> KeyPicture;
KeyPicture PictureOfWinlogon();
// Each entry that is gone or changed, then each that is new; empty if none.
std::vector<std::wstring> Changes(const KeyPicture& before, const KeyPicture& after);

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
