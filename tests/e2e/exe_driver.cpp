#include "exe_driver.h"

#include <versionhelpers.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "notice_form.h"  // the program's control IDs

// ---- Registry ----

KeyState ReadWinlogon() {
    KeyState state{false, SnapshotWinlogon(), {}, {}};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return state;
    state.exists = true;
    state.security = KeySecurity(key);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        state.subkeys.push_back(std::wstring(name, nameLength));
    }
    RegCloseKey(key);
    return state;
}

RawValue QueryWinlogonValue(const wchar_t* name) {
    RawValue value{0xdeadbeef, {}};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kWinlogonPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return value;
    BYTE buffer[1024 + 4];
    std::memset(buffer, 0xCC, sizeof buffer);
    DWORD size = 1024, type = 0xdeadbeef;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer, &size) == ERROR_SUCCESS && size <= 1024 &&
        buffer[size] == 0xCC && buffer[size + 1] == 0xCC)  // nothing written past the reported size
        value = RawValue{type, std::vector<BYTE>(buffer, buffer + size)};
    RegCloseKey(key);
    return value;
}

void RestoreNoticeValues(const KeyState& before) {
    RestoreWinlogon(before.values, L"LegalNoticeText");
    RestoreWinlogon(before.values, L"LegalNoticeCaption");
}

std::string Differences(const KeyState& before, const KeyState& after) {
    std::string names;
    auto add = [&names](const std::wstring& name) { names += (names.empty() ? "" : ", ") + Utf8(name); };
    if (before.exists != after.exists) add(L"the key itself");
    KeySnapshot every = before.values;
    every.insert(after.values.begin(), after.values.end());
    for (const auto& entry : every) {
        auto was = before.values.find(entry.first), is = after.values.find(entry.first);
        bool wasThere = was != before.values.end(), isThere = is != after.values.end();
        if (wasThere != isThere || (wasThere && was->second != is->second)) add(L"value " + entry.first);
    }
    if (before.subkeys != after.subkeys) add(L"its subkeys");
    if (before.security != after.security) add(L"its security descriptor");
    return names;
}

// ---- The program ----

std::wstring DriverFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return FolderOf(path);
}

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"LEGALNOTICE_EXE", path, MAX_PATH) &&
        !GetFullPathNameW((DriverFolder() + L"..\\legalnotice.exe").c_str(), MAX_PATH, path, nullptr))
        return L"";
    return path;
}

static HWND FindMainWindow(DWORD pid, const wchar_t* windowClass) {
    for (HWND hwnd = nullptr; (hwnd = FindWindowExW(nullptr, hwnd, windowClass, nullptr));) {
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        // Ours is findable before WM_CREATE has built the form.
        bool built = std::wstring(windowClass) != L"LegalNoticeWindow" || GetDlgItem(hwnd, IDC_APPLY_BUTTON);
        if (owner == pid && IsWindowVisible(hwnd) && built) return hwnd;
    }
    return nullptr;
}

bool Program::Start(const wchar_t* arguments, const std::wstring& path, const wchar_t* windowClass) {
    // A job that kills the child when the driver goes, so a failed check
    // never leaves an orphan window holding the test's pipes.
    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // From a driver that is not elevated, Windows refuses a requireAdministrator
    // exe with ERROR_ELEVATION_REQUIRED (740) rather than asking.
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process)) {
        startError = GetLastError();
        return false;
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitUntil([&] {
        return (main = FindMainWindow(process.dwProcessId, windowClass)) != nullptr ||
               WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;  // ended without one
    });
    return main != nullptr;
}

DWORD Program::CloseAndWait() {
    if (!process.hProcess) return STILL_ACTIVE;
    PostMessageW(main, WM_CLOSE, 0, 0);
    return WaitForExit();
}

DWORD Program::WaitForExit() {
    DWORD code = STILL_ACTIVE;
    if (process.hProcess && WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    return code;
}

Program::~Program() {
    if (process.hProcess) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (job) CloseHandle(job);  // kills whatever is still running
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256];
    return std::wstring(name, GetClassNameW(hwnd, name, 256));
}

std::wstring TextOf(HWND hwnd) {
    wchar_t text[1024];
    return std::wstring(text, GetWindowTextW(hwnd, text, 1024));
}

std::wstring EditTextOf(HWND edit) {
    wchar_t text[1024];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(edit, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length))
        return L"<no answer>";
    return std::wstring(text, length);
}

bool SetEditText(HWND edit, const std::wstring& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000,
                               &result) &&
           result;
}

// ---- Geometry ----

// A physical point on window in the program's own pixels: "" or why not.
// Windows 8.1 and later convert for any caller with
// PhysicalToLogicalPointForPerMonitorDPI; Vista to 8 convert for a
// DPI-aware caller with PhysicalToLogicalPoint. Either fails for a point
// that is not on the window ("The coordinates passed to the API must be on
// the hWnd", PhysicalToLogicalPoint's remarks).
static std::string InProgramPixels(HWND window, POINT* point) {
    typedef BOOL(WINAPI * ConvertProc)(HWND, LPPOINT);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto convert = reinterpret_cast<ConvertProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "PhysicalToLogicalPointForPerMonitorDPI")));
    if (!convert)
        convert = reinterpret_cast<ConvertProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(user32, "PhysicalToLogicalPoint")));
    const POINT physical = *point;
    if (convert && convert(window, point)) return "";
    return "Windows did not convert the point (" + std::to_string(physical.x) + ", " + std::to_string(physical.y) +
           ") on " + Describe(window) + " into the program's own pixels";
}

std::string ProgramRect(HWND window, RECT* rect) {
    GetWindowRect(window, rect);
    // Its last pixel, not the corner past it, which is not on the window.
    POINT topLeft = {rect->left, rect->top}, last = {rect->right - 1, rect->bottom - 1};
    std::string why = InProgramPixels(window, &topLeft);
    if (why.empty()) why = InProgramPixels(window, &last);
    *rect = {topLeft.x, topLeft.y, last.x + 1, last.y + 1};
    return why;
}

std::string RectInParent(HWND control, RECT* rect) {
    HWND parent = GetParent(control);
    POINT origin = {0, 0};
    ClientToScreen(parent, &origin);
    std::string why = InProgramPixels(parent, &origin);
    if (why.empty()) why = ProgramRect(control, rect);
    OffsetRect(rect, -origin.x, -origin.y);
    return why;
}

double StretchOf(HWND window) {
    RECT physical, own;
    GetWindowRect(window, &physical);
    if (!ProgramRect(window, &own).empty() || own.right <= own.left) return 0;
    return double(physical.right - physical.left) / (own.right - own.left);
}

// GetDpiForMonitor (shcore, Windows 8.1 and later) gives the monitor's own
// DPI; before that, one DPI holds for the whole desktop.
static UINT DpiWhere(HWND window, bool* ofMonitor) {
    typedef HRESULT(WINAPI * MonitorDpiProc)(HMONITOR, int, UINT*, UINT*);
    HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto monitorDpi = reinterpret_cast<MonitorDpiProc>(
        reinterpret_cast<void (*)()>(shcore ? GetProcAddress(shcore, "GetDpiForMonitor") : nullptr));
    UINT dpi = 0, unused;
    *ofMonitor = monitorDpi && monitorDpi(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST),
                                          0 /* MDT_EFFECTIVE_DPI */, &dpi, &unused) == S_OK;
    if (shcore) FreeLibrary(shcore);
    HDC screen = GetDC(nullptr);
    if (!*ofMonitor) dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

std::string Scaling(HWND window) {
    bool ofMonitor;
    const UINT dpi = DpiWhere(window, &ofMonitor);
    char text[128];
    std::snprintf(text, sizeof text, "on a %s at %u dpi (%u %% scaling); Windows stretches it %.2f times (0: unknown)",
                  ofMonitor ? "monitor" : "desktop", dpi, dpi * 100 / 96, StretchOf(window));
    return text;
}

std::string UnexpectedStretch(HWND window) {
    bool ofMonitor;
    const double stretch = StretchOf(window), scaling = DpiWhere(window, &ofMonitor) / 96.0;
    const int wine = WineRelease();
    // Wine before 9.17 only enlarges the fonts (todo_wine).
    const bool wineStretches = !wine || wine >= 917;
    const double expected = wineStretches ? scaling : 1;
    if (std::abs(stretch - expected) < 0.02) return "";
    // Vista and 7 may scale as XP did, enlarging only the fonts (broken).
    if (!wine && !IsWindows8OrGreater() && stretch == 1) return "";
    char why[192];
    std::snprintf(why, sizeof why, "the window is stretched %.2f times at %.0f %% scaling, not %.2f%s", stretch,
                  scaling * 100, expected, wine ? (" as Wine " + WineVersion() + " should").c_str() : "");
    return why;
}

// ---- The foreground ----

std::string Describe(HWND window) {
    if (!window) return "no window";
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    std::wstring program = L"?";
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process && QueryFullProcessImageNameW(process, 0, path, &length)) program = path + FolderOf(path).size();
    if (process) CloseHandle(process);
    return Utf8(ClassOf(window)) + " \"" + Utf8(TextOf(window)) + "\" of " + Utf8(program) + " (process " +
           std::to_string(pid) + ")";
}

// Why keys would not reach window, or "".
static std::string NotInForeground(HWND window) {
    HWND foreground = GetForegroundWindow();
    return foreground == window ? ""
                                : "the foreground window is " + Describe(foreground) + ", not " + Describe(window) +
                                      ": nothing was sent";
}

// "" once all the events went in, else why not.
static std::string Send(UINT count, INPUT* input) {
    return SendInput(count, input, sizeof(INPUT)) == count ? ""
                                                           : "SendInput was blocked: " + std::to_string(GetLastError());
}

static INPUT KeyEvent(WORD key, WORD unit, DWORD flags) {
    INPUT event = {};
    event.type = INPUT_KEYBOARD;
    event.ki.wVk = key;
    event.ki.wScan = unit;
    event.ki.dwFlags = flags;
    return event;
}

// SetForegroundWindow's remarks let a program that is not in front set the
// foreground window if it received the last input event. So the driver makes
// the last input event its own: a hot key of this thread's, which Windows
// delivers here whatever window is in front, and which reaches no other.
static std::string MakeTheLastInputOurs() {
    const int id = 0x4C4E;
    // With the modifiers that are down as it is pressed: Wine may take one
    // for down that X released while no window of its own had the focus.
    UINT modifiers = 0;
    const struct {
        int key;
        UINT modifier;
    } held[] = {
        {VK_MENU, MOD_ALT}, {VK_CONTROL, MOD_CONTROL}, {VK_SHIFT, MOD_SHIFT}, {VK_LWIN, MOD_WIN}, {VK_RWIN, MOD_WIN}};
    for (const auto& down : held)
        if (GetAsyncKeyState(down.key) < 0) modifiers |= down.modifier;
    UINT key = VK_F24;  // a key no keyboard has; the next one down if another program holds it
    while (key >= VK_F21 && !RegisterHotKey(nullptr, id, modifiers, key)) --key;
    if (key < VK_F21) return "no hot key from F21 to F24 is free";
    INPUT input[2] = {KeyEvent(WORD(key), 0, 0), KeyEvent(WORD(key), 0, KEYEVENTF_KEYUP)};
    std::string sent = Send(2, input);
    MSG message;
    if (sent.empty() &&
        !WaitUntil([&] { return PeekMessageW(&message, nullptr, WM_HOTKEY, WM_HOTKEY, PM_REMOVE); }, 2000))
        sent = "the hot key sent to this program never arrived";
    UnregisterHotKey(nullptr, id);
    return sent;
}

std::string BringToFront(HWND window) {
    // The same way even for a window in front already, however it got there;
    // again if another window takes the foreground meanwhile.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string ours = MakeTheLastInputOurs();
        if (!ours.empty()) return ours + ": " + Describe(window) + " could not be brought to the front";
        if (SetForegroundWindow(window) && WaitUntil([&] { return GetForegroundWindow() == window; }, 1000)) {
            // Windows raises the window it brings to the foreground; Wine does not.
            SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            return "";
        }
    }
    return "Windows kept " + Describe(GetForegroundWindow()) + " in front of " + Describe(window) +
           ": nothing was sent or read";
}

// "" if the physical point shows window or one of its children, else what it shows.
static std::string ShownAt(HWND window, POINT point) {
    HWND shown = WindowFromPoint(point);
    if (shown && GetAncestor(shown, GA_ROOT) == window) return "";
    return "the point (" + std::to_string(point.x) + ", " + std::to_string(point.y) + ") shows " + Describe(shown) +
           ", not " + Describe(window) + ": nothing was sent or read";
}

// Brings window forward and checks that it shows at each point, once it has
// come up (Windows raises it as it activates it); again, up to three times,
// if another window takes the front meanwhile. "" or why not.
static std::string InFrontAt(HWND window, std::initializer_list<POINT> points) {
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!(why = BringToFront(window)).empty()) return why;
        for (auto point = points.begin(); why.empty() && point != points.end(); ++point)
            WaitUntil([&] { return (why = ShownAt(window, *point)).empty(); }, 1000);
        if (why.empty() || GetForegroundWindow() == window) return why;
    }
    return why;
}

// The same for the corners and the middle of a rectangle on screen.
// The corners lie inside by the stretch, at least a pixel: where Windows
// maps a physical pixel at the edge of a stretched window, it does not say.
static std::string InFrontOver(HWND window, const RECT& rect) {
    const int in = std::max(1, int(std::ceil(StretchOf(window))));
    return InFrontAt(window, {{rect.left + in, rect.top + in},
                              {rect.right - 1 - in, rect.top + in},
                              {rect.left + in, rect.bottom - 1 - in},
                              {rect.right - 1 - in, rect.bottom - 1 - in},
                              {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}});
}

std::string ScreenPixel(HWND window, POINT point, COLORREF expected, COLORREF* seen) {
    std::string why = InFrontAt(window, {point});
    if (!why.empty()) return why;
    HDC screen = GetDC(nullptr);
    WaitUntil([&] { return (*seen = GetPixel(screen, point.x, point.y)) == expected; }, 2000);  // once painted
    ReleaseDC(nullptr, screen);
    if (*seen == CLR_INVALID) return "the screen could not be read";
    return ShownAt(window, point);  // still: nothing came in front while it was read
}

// Cursor handles do not cross processes, and each thread keeps its own
// cursor: read the one the program's thread set for the pointer over it.
std::string CursorOver(HWND window, POINT point, HCURSOR* cursor) {
    std::string why = InFrontAt(window, {point});
    if (!why.empty()) return why;
    if (!SetCursorPos(point.x + 1, point.y) || !SetCursorPos(point.x, point.y))
        return "the pointer could not be moved (error " + std::to_string(GetLastError()) + ")";
    CURSORINFO info = {sizeof info};
    WaitUntil([&] { return GetCursorInfo(&info) && info.hCursor; }, 2000);
    *cursor = info.hCursor;
    return "";
}

// ---- The system's message box ----

static HWND FindMessageBox(HWND owner) {
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(owner, &pid);
    struct Search {
        HWND owner, found;
    } search{owner, nullptr};
    EnumThreadWindows(
        thread,
        [](HWND hwnd, LPARAM context) {
            Search* search = reinterpret_cast<Search*>(context);
            if (ClassOf(hwnd) == L"#32770" && GetWindow(hwnd, GW_OWNER) == search->owner && IsWindowVisible(hwnd)) {
                search->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool AnyMessageBox(HWND owner) { return FindMessageBox(owner) != nullptr; }

MessageBoxParts PartsOf(HWND box) {
    MessageBoxParts parts = {nullptr, nullptr, nullptr};
    for (HWND child : Children(box)) {
        std::wstring kind = ClassOf(child);
        if (kind == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            parts.icon = child;
        } else if (kind == L"Static") {
            if (!parts.text) parts.text = child;
        } else if (kind == L"Button") {
            if (!parts.button) parts.button = child;
        }
    }
    return parts;
}

const std::pair<UINT, const wchar_t*> kBoxIcons[4] = {{MB_ICONERROR, IDI_HAND},
                                                      {MB_ICONINFORMATION, IDI_ASTERISK},
                                                      {MB_ICONWARNING, IDI_EXCLAMATION},
                                                      {MB_ICONQUESTION, IDI_QUESTION}};

void DrawSystemIcon(HDC dc, const wchar_t* icon, int x, int y, int width, int height) {
    HICON shared = LoadIconW(nullptr, icon);
    HICON sized = static_cast<HICON>(CopyImage(shared, IMAGE_ICON, width, height, LR_COPYFROMRESOURCE));
    DrawIconEx(dc, x, y, sized ? sized : shared, width, height, 0, nullptr, DI_NORMAL);
    if (sized) DestroyIcon(sized);
}

// How far a picture of width × height is from art (artWidth × artHeight)
// enlarged to that size as Windows stretches a DPI-unaware window: smoothed
// (bilinear) or pixel by pixel, with the art's grid moved by (dx, dy) of the
// picture's pixels, since a stretched window need not start on a whole pixel.
// Stops counting past limit.
static double StretchedDistance(const DWORD* shown, int width, int height, const DWORD* art, int artWidth,
                                int artHeight, bool smooth, double dx, double dy, double limit) {
    double distance = 0;
    for (int y = 0; y < height && distance <= limit; ++y) {
        const double v = std::clamp((y + 0.5 + dy) * artHeight / height - 0.5, 0.0, artHeight - 1.0);
        const int v0 = smooth ? int(v) : int(v + 0.5), v1 = std::min(v0 + 1, artHeight - 1);
        for (int x = 0; x < width; ++x) {
            const double u = std::clamp((x + 0.5 + dx) * artWidth / width - 0.5, 0.0, artWidth - 1.0);
            const int u0 = smooth ? int(u) : int(u + 0.5), u1 = std::min(u0 + 1, artWidth - 1);
            const double fu = smooth ? u - u0 : 0, fv = smooth ? v - v0 : 0;
            for (int shift : {0, 8, 16}) {
                auto value = [&](int column, int row) {
                    return double((art[row * artWidth + column] >> shift) & 0xFF);
                };
                const double stretched = (value(u0, v0) * (1 - fu) + value(u1, v0) * fu) * (1 - fv) +
                                         (value(u0, v1) * (1 - fu) + value(u1, v1) * fu) * fv;
                const double difference = double((shown[y * width + x] >> shift) & 0xFF) - stretched;
                distance += difference * difference;
            }
        }
    }
    return distance;
}

// Which system icon the box shows, told from the screen: under Wine icon
// handles do not cross processes. Each candidate is drawn here on the box's
// own background as Windows may show it, for it cannot be told which way
// Windows chose: at the size from the nearest frame (a DPI-aware box, or
// Windows 7 scaling as XP did), or above 100 % its 32-px artwork stretched,
// smoothed or pixel by pixel, as Windows stretches a DPI-unaware box. The
// nearest candidate wins, if it is clearly the nearest.
static UINT IconShown(const RECT& rect) {
    const int width = rect.right - rect.left, height = rect.bottom - rect.top, pixels = width * height;
    if (width <= 0 || height <= 0) return ~0u;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    BITMAPINFO artInfo = info;
    artInfo.bmiHeader.biWidth = 32;
    artInfo.bmiHeader.biHeight = -32;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    DWORD *shown, *drawn, *art;
    HBITMAP shownBitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&shown), nullptr, 0);
    HBITMAP drawnBitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&drawn), nullptr, 0);
    HBITMAP artBitmap = CreateDIBSection(memory, &artInfo, DIB_RGB_COLORS, reinterpret_cast<void**>(&art), nullptr, 0);
    HGDIOBJ old = SelectObject(memory, shownBitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    DWORD background = shown[0];  // a corner, outside the round system icons
    bool painted = false;         // an icon at all, not plain background
    for (int i = 0; i < pixels && !painted; ++i) painted = (shown[i] & 0xFFFFFF) != (background & 0xFFFFFF);

    UINT best = ~0u;
    double bestDistance = 1e300, secondDistance = 1e300;
    for (const auto& [type, icon] : kBoxIcons) {
        SelectObject(memory, drawnBitmap);
        for (int i = 0; i < pixels; ++i) drawn[i] = background;
        DrawSystemIcon(memory, icon, 0, 0, width, height);
        SelectObject(memory, artBitmap);
        for (int i = 0; i < 32 * 32; ++i) art[i] = background;
        DrawSystemIcon(memory, icon, 0, 0, 32, 32);
        GdiFlush();
        double distance = StretchedDistance(shown, width, height, drawn, width, height, false, 0, 0, 1e300);
        if (width != 32 || height != 32)
            for (bool smooth : {true, false})
                for (double dx = -1; dx < 1; dx += 0.25)
                    for (double dy = -1; dy < 1; dy += 0.25)
                        distance = std::min(distance, StretchedDistance(shown, width, height, art, 32, 32, smooth, dx,
                                                                        dy, std::min(distance, secondDistance)));
        if (distance < bestDistance) {
            secondDistance = bestDistance;
            bestDistance = distance;
            best = type;
        } else if (distance < secondDistance) {
            secondDistance = distance;
        }
    }
    SelectObject(memory, old);
    DeleteObject(shownBitmap);
    DeleteObject(drawnBitmap);
    DeleteObject(artBitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return painted && bestDistance * 4 < secondDistance ? best : ~0u;
}

std::string IconOnScreen(HWND window, const RECT& rect, UINT* icon) {
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {  // again if a window came in front while it was read
        *icon = ~0u;
        if (!(why = InFrontOver(window, rect)).empty()) return why;
        const UINT shown = IconShown(rect);
        if ((why = ShownAt(window, {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2})).empty()) {
            *icon = shown;
            return "";
        }
    }
    return why;
}

MessageBoxSeen WaitForMessageBox(HWND owner, DWORD milliseconds) {
    MessageBoxSeen seen{nullptr, L"", L"", ~0u, "", false, nullptr};
    if (!WaitUntil([&] { return (seen.box = FindMessageBox(owner)) != nullptr; }, milliseconds)) return seen;
    MessageBoxParts parts = PartsOf(seen.box);
    seen.title = TextOf(seen.box);
    seen.text = parts.text ? TextOf(parts.text) : L"<no text>";
    seen.ownerDisabled = !IsWindowEnabled(owner);
    seen.button = parts.button;
    RECT icon;
    if (parts.icon && GetWindowRect(parts.icon, &icon))
        WaitUntil([&] { return (seen.unseen = IconOnScreen(seen.box, icon, &seen.icon)).empty() && seen.icon != ~0u; },
                  3000);  // once it has painted
    return seen;
}

bool DismissMessageBox(HWND box) {
    PostMessageW(PartsOf(box).button, BM_CLICK, 0, 0);
    return WaitUntil([&] { return !IsWindow(box); });
}

MessageBoxSeen PressApply(HWND main) {
    // Posted: a sent click would not return until the box is dismissed.
    PostMessageW(GetDlgItem(main, IDC_APPLY_BUTTON), BM_CLICK, 0, 0);
    MessageBoxSeen seen = WaitForMessageBox(main);
    if (seen.box) DismissMessageBox(seen.box);
    return seen;
}

// ---- A person at the mouse and keyboard ----

std::string ClickMiddleOf(HWND control) {
    const HWND window = GetAncestor(control, GA_ROOT);
    RECT rect;
    GetWindowRect(control, &rect);
    const POINT middle = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    // Absolute positions are in 0..65535 across the whole virtual desktop, in
    // physical pixels like the control's rectangle.
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    INPUT input[3] = {};
    for (INPUT& event : input) event.type = INPUT_MOUSE;
    input[0].mi.dx = ((middle.x - left) * 65536 + width - 1) / width;
    input[0].mi.dy = ((middle.y - top) * 65536 + height - 1) / height;
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    auto there = [&] {
        POINT at;
        return GetCursorPos(&at) && at.x == middle.x && at.y == middle.y;
    };
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {  // again if another window takes the front meanwhile
        if (!(why = InFrontAt(window, {middle})).empty()) return why;
        // As a person does: the pointer first, then the click once it is
        // there and stays there (sent together, a loaded machine may take the
        // click where the pointer was; a window raised under the pointer may
        // have Wine put it back where X last saw it).
        bool stayed = false;
        for (int move = 0; move < 3 && !stayed; ++move) {
            if (!(why = Send(1, input)).empty()) return why;
            stayed = WaitUntil(there, 2000) && (Sleep(100), there());
        }
        if (!stayed) return "the pointer did not stay on the control: nothing was clicked";
        HWND under = nullptr;
        if (WaitUntil([&] { return (under = WindowFromPoint(middle)) == control; }, 1000))  // once it has come up
            return Send(2, input + 1);
        why = "the point to click shows " + Describe(under) + ", not the control: nothing was clicked";
        if (GetForegroundWindow() == window) return why;
    }
    return why;
}

std::string TypeText(HWND window, const std::wstring& text) {
    std::string front = BringToFront(window);
    if (!front.empty()) return front;
    for (wchar_t unit : text) {
        std::string elsewhere = NotInForeground(window);
        if (!elsewhere.empty()) return elsewhere;
        INPUT input[2] = {KeyEvent(0, unit, KEYEVENTF_UNICODE), KeyEvent(0, unit, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP)};
        std::string sent = Send(2, input);
        if (!sent.empty()) return sent;
        Sleep(5);  // a fast typist, not a paste
    }
    return "";
}

std::string PressKeys(HWND window, std::initializer_list<WORD> keys) {
    std::vector<INPUT> input;
    for (WORD key : keys) input.push_back(KeyEvent(key, 0, 0));
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key)
        input.push_back(KeyEvent(*key, 0, KEYEVENTF_KEYUP));
    std::string front = BringToFront(window);
    return front.empty() ? Send(UINT(input.size()), input.data()) : front;
}

std::string WaitForFocus(HWND control) {
    HWND window = GetAncestor(control, GA_ROOT);
    DWORD thread = GetWindowThreadProcessId(control, nullptr);
    GUITHREADINFO info = {sizeof info};
    if (WaitUntil([&] {
            return GetForegroundWindow() == window &&
                   (control == window || (GetGUIThreadInfo(thread, &info) && info.hwndFocus == control));
        }))
        return "";
    return "after 10 s the foreground window is " + Describe(GetForegroundWindow()) + " and the focus is on " +
           Describe(GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr) + ", not " + Describe(control);
}

std::string SaveScreenPicture(HWND window, const std::wstring& path) {
    RECT rect;
    GetWindowRect(window, &rect);
    std::string why = InFrontOver(window, rect);
    if (!why.empty()) return why;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top, stride = (width * 3 + 3) & ~3;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, DWORD(stride * height), 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    why = ShownAt(window, {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});  // still in front
    BITMAPFILEHEADER header = {0x4D42, DWORD(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + stride * height), 0,
                               0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    FILE* file = _wfopen(path.c_str(), L"wb");
    bool saved = file && fwrite(&header, sizeof header, 1, file) == 1 &&
                 fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
                 fwrite(bits, size_t(stride) * height, 1, file) == 1;
    if (file) saved = fclose(file) == 0 && saved;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return !why.empty() ? why : saved ? "" : "the picture could not be written to " + Utf8(path);
}

// ---- DLL search ----

bool ProbeLoadedIn(DWORD pid) {
    wchar_t name[64];
    swprintf(name, 64, L"planted_probe_loaded_%lu", pid);
    HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (mark) CloseHandle(mark);
    return mark != nullptr;
}

struct RemoteLoad {
    HANDLE process;  // a handle of the worker's own
    std::wstring name;
    RemoteCall result;
};

static DWORD WINAPI LoadRemotely(void* parameter) {
    RemoteLoad* load = static_cast<RemoteLoad*>(parameter);
    SIZE_T bytes = (load->name.size() + 1) * sizeof(wchar_t);
    void* remoteName = VirtualAllocEx(load->process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    // kernel32 sits at the same address in every process.
    auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    if (remoteName && WriteProcessMemory(load->process, remoteName, load->name.c_str(), bytes, nullptr)) {
        HANDLE thread = CreateRemoteThread(load->process, nullptr, 0, loadLibrary, remoteName, 0, nullptr);
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            load->result = RemoteCall::kRan;
            CloseHandle(thread);
        }
    }
    if (remoteName) VirtualFreeEx(load->process, remoteName, 0, MEM_RELEASE);
    CloseHandle(load->process);
    return 0;
}

RemoteCall LoadLibraryInto(HANDLE process, const std::wstring& name) {
    // Each step waits until the program takes it up, which under Wine now
    // and then never happens: the steps run on a worker, given 10 s (a served
    // request takes milliseconds). A worker that is still waiting then keeps
    // its copy of the request, and ends with this process.
    RemoteLoad* load = new RemoteLoad{nullptr, name, RemoteCall::kFailed};
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &load->process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        delete load;
        return RemoteCall::kFailed;
    }
    HANDLE worker = CreateThread(nullptr, 0, LoadRemotely, load, 0, nullptr);
    if (!worker) {
        CloseHandle(load->process);
        delete load;
        return RemoteCall::kFailed;
    }
    bool finished = WaitForSingleObject(worker, 10000) == WAIT_OBJECT_0;
    CloseHandle(worker);
    if (!finished) return RemoteCall::kNoAnswer;
    RemoteCall result = load->result;
    delete load;
    return result;
}
