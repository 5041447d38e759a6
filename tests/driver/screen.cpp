// What the screen shows: the checks that a window shows at the points about
// to be read or clicked, and reading pixels, the cursor and pictures.
#include "exe_driver.h"

#include <cmath>
#include <cstdio>

// "" if the physical point shows window or one of its children, else what it shows.
std::string ShownAt(HWND window, POINT point) {
    HWND shown = WindowFromPoint(point);
    if (shown && GetAncestor(shown, GA_ROOT) == window) return "";
    return "the point (" + std::to_string(point.x) + ", " + std::to_string(point.y) + ") shows " + Describe(shown) +
           ", not " + Describe(window) + ": nothing was sent or read";
}

// Brings window forward and checks that it shows at each point, once it has
// come up (Windows raises it as it activates it); again, up to three times,
// if another window takes the front meanwhile. "" or why not.
std::string InFrontAt(HWND window, std::initializer_list<POINT> points) {
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
std::string InFrontOver(HWND window, const RECT& rect) {
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
