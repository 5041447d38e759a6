// Test-side controls of the Win32 stand-in: reset it, inject faults, and
// observe what the program passed to the platform.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "win32_standin.h"

namespace standin {

// Every platform call, in order, e.g. "RegOpenKeyExW", "RegSetValueExW LegalNoticeText",
// "GetWindowTextW 101", "MessageBoxW", "SetDefaultDllDirectories 0x800". Lets tests check the order of effects.
const std::vector<std::string>& Journal();
// Back to a fresh registry and window system, with an empty journal.
void Reset();
std::string Narrow(const std::u16string& text);  // ASCII view of a name, for journal lines

// ---- Registry ----
struct RegistryValue {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const RegistryValue&) const = default;
};
typedef std::map<std::u16string, RegistryValue> RegistryKey;  // value name -> value

struct OpenCall {
    HKEY root;
    std::u16string subkey;
    DWORD options;
    REGSAM access;
};
struct SetCall {
    std::u16string name;
    DWORD reserved;
    DWORD type;
    DWORD size;
};

extern const char16_t kWinlogonPath[];

void RemoveWinlogonKey();
// nth counts from 1 across the whole test; 0 means every call.
void FailOpen(LSTATUS error, int nth = 0);
void FailSet(LSTATUS error, int nth = 0);

const RegistryKey* WinlogonKey();  // null when the key is absent
const RegistryValue* WinlogonValue(const std::u16string& name);
std::u16string WinlogonText(const std::u16string& name);  // a REG_SZ's text, "<absent>" if there is none
void PutWinlogonValue(const std::u16string& name, const std::u16string& text);

const std::vector<OpenCall>& OpenCalls();
const std::vector<SetCall>& SetCalls();
int CloseCount();
int OpenHandleCount();

// ---- DLL loading ----
// kernel32 without SetDefaultDllDirectories, as on Windows 6.0 and 6.1 without
// the update that adds it; or with it, failing.
void RemoveSetDefaultDllDirectories();
void FailSetDefaultDllDirectories();

// ---- Windows ----
struct Window {
    std::u16string className;
    std::u16string text;
    DWORD exStyle;
    DWORD style;
    int x, y, width, height;
    HWND parent;
    UINT_PTR id;  // the hMenu argument of a child
    HINSTANCE instance;
    WNDPROC proc;  // null for the system's control classes
    bool alive;
};
struct MessageBoxCall {
    HWND owner;
    std::u16string text;
    std::u16string title;
    UINT type;
};

const WNDCLASSW* RegisteredClass(const std::u16string& name);  // the record as passed
std::vector<HWND> AllWindows();                                // in creation order
const Window& WindowOf(HWND hwnd);
HWND ChildWithId(HWND parent, int id);
const std::vector<MessageBoxCall>& MessageBoxes();

void FailRegisterClass();
// Every creation of that class, or with nth the nth one only (counting from 1).
void FailCreateWindow(const std::u16string& className, int nth = 0);
void FailNextGetMessage();  // GetMessageW returns -1 once
// Called when GetMessageW finds the queue empty; if it posts nothing either,
// GetMessageW returns -1 and QueueRanDry() turns true.
void OnIdle(std::function<void()> action);
bool QueueRanDry();

// A person at the keyboard: replaces the field's text, then the control
// notifies its parent with EN_CHANGE, as a real edit control does.
void TypeInto(HWND edit, const std::u16string& text);
// A click: the button sends BN_CLICKED to its parent, synchronously.
void Click(HWND button);
// The close box: WM_CLOSE is posted to the window.
void PostClose(HWND hwnd);

}  // namespace standin
