// WinMain and the window procedure's frame on the host stand-in.
#include <gtest/gtest.h>

#include <algorithm>

#include "main_window.h"
#include "standin_control.h"

namespace {

HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(ULONG_PTR(0x140000000));

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { standin::Reset(); }
    static HWND MainWindow() { return standin::AllWindows().empty() ? nullptr : standin::AllWindows().front(); }
    static int Run() { return WinMain(kInstance, nullptr, const_cast<LPSTR>("/quiet extra args"), 7 /*minimised*/); }
    static bool Journaled(const char* entry) {
        const std::vector<std::string>& journal = standin::Journal();
        return std::find(journal.begin(), journal.end(), entry) != journal.end();
    }
};

TEST_F(MainWindowTest, RegistersTheClassAndCreatesTheWindowAsSpecifiedWhateverTheCommandLine) {
    standin::OnIdle([] { standin::PostClose(MainWindow()); });
    Run();
    const WNDCLASSW* record = standin::RegisteredClass(u"LegalNoticeWindow");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->style, 0u);
    EXPECT_EQ(record->lpfnWndProc, &NoticeWindowProc);
    EXPECT_EQ(record->cbClsExtra, 0);
    EXPECT_EQ(record->cbWndExtra, 0);
    EXPECT_EQ(record->hInstance, kInstance);
    EXPECT_EQ(record->hIcon, nullptr);
    EXPECT_EQ(record->hCursor, LoadCursorW(nullptr, IDC_ARROW));
    EXPECT_EQ(record->hbrBackground, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
    EXPECT_EQ(record->lpszMenuName, nullptr);

    const standin::Window& window = standin::WindowOf(MainWindow());
    EXPECT_EQ(window.className, u"LegalNoticeWindow");
    EXPECT_EQ(window.text, u"Настройка LegalNotice");
    EXPECT_EQ(window.exStyle, 0u);
    EXPECT_EQ(window.style, 0x10CF0000u) << "WS_OVERLAPPEDWINDOW | WS_VISIBLE, not the minimised show mode";
    EXPECT_EQ((std::vector<int>{window.x, window.y, window.width, window.height}),
              (std::vector<int>{CW_USEDEFAULT, CW_USEDEFAULT, 340, 200}));
    EXPECT_EQ(window.parent, nullptr);
    EXPECT_EQ(window.id, 0u);
    EXPECT_EQ(window.instance, kInstance);
}

TEST_F(MainWindowTest, SearchesOnlySystem32ForDllsBeforeRegisteringTheClass) {
    const std::vector<std::string> fallback = {
        "SetDllDirectoryW \"\"",
        // By full path, each one's dependencies looked for beside it in System32 first.
        "LoadLibraryExW C:\\Windows\\system32\\uxtheme.dll 0x8",
        "LoadLibraryExW C:\\Windows\\system32\\dwmapi.dll 0x8",
        "LoadLibraryExW C:\\Windows\\system32\\version.dll 0x8",
        "LoadLibraryExW C:\\Windows\\system32\\cryptbase.dll 0x8",
        "RegisterClassW",
    };
    std::vector<std::string> failedThenFallback = fallback;
    failedThenFallback.insert(failedThenFallback.begin(), "SetDefaultDllDirectories 0x800");
    struct Case {
        const char* label;
        void (*kernel32)();
        std::vector<std::string> callsBeforeTheWindow;
    } cases[] = {
        {"SetDefaultDllDirectories exists", [] {}, {"SetDefaultDllDirectories 0x800", "RegisterClassW"}},
        {"it is missing (6.0 or 6.1 without the update)", [] { standin::RemoveSetDefaultDllDirectories(); }, fallback},
        {"it fails", [] { standin::FailSetDefaultDllDirectories(); }, failedThenFallback},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        standin::Reset();
        c.kernel32();
        standin::OnIdle([] { standin::PostClose(MainWindow()); });
        EXPECT_EQ(Run(), 0) << "the window opens and closes as usual";
        const std::vector<std::string>& journal = standin::Journal();
        std::vector<std::string> beforeTheWindow(
            journal.begin(), std::find(journal.begin(), journal.end(), "RegisterClassW") + (journal.empty() ? 0 : 1));
        EXPECT_EQ(beforeTheWindow, c.callsBeforeTheWindow);
    }
}

TEST_F(MainWindowTest, ReturnsZeroOnceTheWindowIsClosed) {
    standin::OnIdle([] { standin::PostClose(MainWindow()); });
    EXPECT_EQ(Run(), 0);
    EXPECT_FALSE(standin::QueueRanDry()) << "the loop must end on the quit message";
    EXPECT_FALSE(standin::WindowOf(MainWindow()).alive);
    EXPECT_TRUE(standin::OpenCalls().empty()) << "closing at once touches no registry value";
}

TEST_F(MainWindowTest, ReturnsOneAtOnceWhenNoWindowCanBeMade) {
    struct Case {
        const char* label;
        void (*fault)();
        bool creationAttempted;
    } cases[] = {
        {"class registration fails", [] { standin::FailRegisterClass(); }, false},
        {"window creation fails", [] { standin::FailCreateWindow(u"LegalNoticeWindow"); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        standin::Reset();
        c.fault();
        EXPECT_EQ(Run(), 1);
        EXPECT_FALSE(standin::QueueRanDry()) << "no message loop without a window";
        EXPECT_EQ(Journaled("CreateWindowExW LegalNoticeWindow"), c.creationAttempted);
    }
}

TEST_F(MainWindowTest, ReturnsOneWhenGetMessageFails) {
    standin::FailNextGetMessage();
    EXPECT_EQ(Run(), 1);
    EXPECT_FALSE(standin::QueueRanDry());
}

}  // namespace
