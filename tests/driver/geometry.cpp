// The exe's pixels and the driver's: what Windows' stretch of a DPI-unaware
// window does to them, and what the stretch should be (exe_driver.h says
// which coordinates each function answers in).
#include "exe_driver.h"

#include <versionhelpers.h>

#include <cmath>
#include <cstdio>

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
