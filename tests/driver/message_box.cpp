// The system's message box: found, read and dismissed from outside, its icon
// told from the screen as Windows may draw it at any scale.
#include "exe_driver.h"

#include <algorithm>

#include "notice_form.h"  // the program's control IDs

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
