// The driver's own tests: its message-box finders and its icon reader, on a
// box and pictures of this program's own, so that a fault of the driver
// shows as itself and not as a fault of the exe.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "exe_driver.h"

namespace {

// The finders on a box numbered as Windows numbers it (the icon 0x14, the
// lone button of an MB_OK box IDCANCEL, which is how Esc closes it), whatever
// the system under the test does: a box of this process, renumbered as it
// opens, must be found, read and dismissed all the same.
HHOOK renumbering;

LRESULT CALLBACK RenumberTheWindowsWay(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        MessageBoxParts parts = PartsOf(reinterpret_cast<HWND>(wParam));
        if (parts.icon) SetWindowLongPtrW(parts.icon, GWLP_ID, 0x14);
        if (parts.button) SetWindowLongPtrW(parts.button, GWLP_ID, IDCANCEL);
    }
    return CallNextHookEx(renumbering, code, wParam, lParam);
}

TEST(MessageBoxFinders, FindReadAndDismissABoxNumberedTheWindowsWay) {
    static std::atomic<HWND> owner = nullptr;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            HWND window = CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                          nullptr, nullptr, nullptr, nullptr);
            renumbering = SetWindowsHookExW(WH_CBT, RenumberTheWindowsWay, nullptr, GetCurrentThreadId());
            owner = window;
            MessageBoxW(window, L"Текст окна", L"Заголовок", MB_OK | MB_ICONWARNING);
            UnhookWindowsHookEx(renumbering);
            DestroyWindow(window);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_TRUE(WaitUntil([] { return owner != nullptr; }));
    MessageBoxSeen seen = WaitForMessageBox(owner);
    ASSERT_NE(seen.box, nullptr);
    EXPECT_EQ(GetDlgCtrlID(seen.button), IDCANCEL) << "the hook did not renumber the button";
    EXPECT_EQ(GetDlgCtrlID(PartsOf(seen.box).icon), 0x14) << "the hook did not renumber the icon";
    EXPECT_EQ(Utf8(seen.title), "Заголовок");
    EXPECT_EQ(Utf8(seen.text), "Текст окна");
    EXPECT_EQ(seen.icon, UINT(MB_ICONWARNING)) << seen.unseen;
    EXPECT_TRUE(seen.ownerDisabled);
    EXPECT_TRUE(DismissMessageBox(seen.box)) << "its one button did not close it";
    EXPECT_EQ(WaitForSingleObject(thread, 10000), DWORD(WAIT_OBJECT_0));
    CloseHandle(thread);
}

// The icon of a box as Windows may show it: above 100 % it stretches a
// DPI-unaware box's 32-px artwork, smoothed or pixel by pixel, while a
// DPI-aware box (or Windows 7 scaling as XP did) draws it from the frame
// nearest the size; on the white band of Windows 10 and 11 boxes, or on
// button face. Each such picture, in a window of the test's own, is named.
TEST(MessageBoxFinders, ReadEachIconAsWindowsMayShowItAtAnyScale) {
    const char* ways[] = {"smoothed", "pixel by pixel", "from the nearest frame"};
    const int cell = 72;  // a row per icon and background: 100 %, then 125 % to 200 % each three ways
    HDC screen = GetDC(nullptr), canvas = CreateCompatibleDC(screen), artwork = CreateCompatibleDC(screen);
    HBITMAP shown = CreateCompatibleBitmap(screen, 13 * cell, 8 * cell), art = CreateCompatibleBitmap(screen, 32, 32);
    ReleaseDC(nullptr, screen);
    HGDIOBJ oldShown = SelectObject(canvas, shown), oldArt = SelectObject(artwork, art);
    struct Expected {
        RECT rect;
        UINT type;
        std::string what;
    };
    std::vector<Expected> expected;
    for (int row = 0; row < 8; ++row) {
        const auto& [type, icon] = kBoxIcons[row % 4];
        HBRUSH background = CreateSolidBrush(row < 4 ? RGB(255, 255, 255) : GetSysColor(COLOR_BTNFACE));
        RECT line = {0, row * cell, 13 * cell, (row + 1) * cell}, artRect = {0, 0, 32, 32};
        FillRect(canvas, &line, background);
        FillRect(artwork, &artRect, background);
        DeleteObject(background);
        DrawSystemIcon(artwork, icon, 0, 0, 32, 32);
        for (int column = 0; column < 13; ++column) {
            const int percent = 100 + (column + 2) / 3 * 25, size = 32 * percent / 100, way = (column + 2) % 3;
            const int x = column * cell, y = row * cell;
            SetStretchBltMode(canvas, way == 0 ? HALFTONE : COLORONCOLOR);
            SetBrushOrgEx(canvas, 0, 0, nullptr);
            if (way == 2)
                DrawSystemIcon(canvas, icon, x, y, size, size);
            else
                StretchBlt(canvas, x, y, size, size, artwork, 0, 0, 32, 32, SRCCOPY);
            expected.push_back(
                {{x, y, x + size, y + size},
                 type,
                 std::to_string(percent) + " % " + ways[way] + (row < 4 ? " on white" : " on button face")});
        }
    }
    SelectObject(canvas, oldShown);
    SelectObject(artwork, oldArt);
    DeleteDC(canvas);
    DeleteDC(artwork);
    DeleteObject(art);

    static std::atomic<HWND> window = nullptr;
    DWORD threadId;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* bitmap) -> DWORD {
            RECT area;  // clear of the taskbar, which stays on top
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
            HWND popup = CreateWindowExW(0, L"Static", nullptr, WS_POPUP | WS_VISIBLE | SS_BITMAP, area.left, area.top,
                                         0, 0, nullptr, nullptr, nullptr, nullptr);
            SendMessageW(popup, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
            window = popup;
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
            DestroyWindow(popup);
            return 0;
        },
        shown, 0, &threadId);
    ASSERT_TRUE(WaitUntil([] { return window != nullptr; }));
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    UINT seen = ~0u;
    for (Expected& picture : expected) {
        OffsetRect(&picture.rect, origin.x, origin.y);
        if (&picture == &expected[0])  // once it has painted
            WaitUntil([&] { return IconOnScreen(window, picture.rect, &seen).empty() && seen != ~0u; }, 3000);
        EXPECT_EQ(IconOnScreen(window, picture.rect, &seen), "");
        EXPECT_EQ(seen, picture.type) << picture.what;
    }
    PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), DWORD(WAIT_OBJECT_0));
    CloseHandle(thread);
    DeleteObject(shown);
    window = nullptr;
}

}  // namespace
