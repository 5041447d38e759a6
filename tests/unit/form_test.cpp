// The notice form on the host stand-in: its controls as built, and what a
// press of the button writes and shows.
#include <gtest/gtest.h>

#include <algorithm>

#include "main_window.h"
#include "notice_form.h"
#include "standin_control.h"

namespace {

using standin::Journal;
using standin::MessageBoxCall;

const std::u16string kConfirmation = u"Значения применены! Перезагрузите компьютер.";
const std::u16string kTooLong = u"Текст и заголовок — не более 255 знаков каждый. Ничего не записано.";

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::Reset();
        standin::PutWinlogonValue(u"LegalNoticeText", u"old text");
        standin::PutWinlogonValue(u"LegalNoticeCaption", u"old caption");
    }
    void OpenWindow() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = NoticeWindowProc;
        windowClass.lpszClassName = u"LegalNoticeWindow";
        RegisterClassW(&windowClass);
        main = CreateWindowExW(0, u"LegalNoticeWindow", u"", WS_OVERLAPPEDWINDOW, 0, 0, 340, 200, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_NE(main, nullptr);
    }
    void Apply(const std::u16string& text, const std::u16string& caption) {
        standin::TypeInto(standin::ChildWithId(main, IDC_TEXT_EDIT), text);
        standin::TypeInto(standin::ChildWithId(main, IDC_CAPTION_EDIT), caption);
        standin::Click(standin::ChildWithId(main, IDC_APPLY_BUTTON));
    }
    MessageBoxCall OnlyBox() {
        EXPECT_EQ(standin::MessageBoxes().size(), 1u);
        return standin::MessageBoxes().empty() ? MessageBoxCall{} : standin::MessageBoxes().back();
    }
    HWND main = nullptr;
};

TEST_F(FormTest, BuildsFiveControlsInOrderWithExactGeometry) {
    OpenWindow();
    struct Expected {
        std::u16string className, text;
        DWORD style;
        int x, y, width, height;
        UINT_PTR id;
    } expected[] = {
        {u"STATIC", u"LegalNoticeText:", 0x50000000, 10, 10, 150, 20, 0},
        {u"EDIT", u"", 0x50800080, 10, 30, 300, 20, 101},
        {u"STATIC", u"LegalNoticeCaption:", 0x50000000, 10, 60, 150, 20, 0},
        {u"EDIT", u"", 0x50800080, 10, 80, 300, 20, 102},
        {u"BUTTON", u"Создать и применить", 0x50000000, 10, 110, 300, 30, 103},
    };
    std::vector<HWND> windows = standin::AllWindows();
    ASSERT_EQ(windows.size(), 6u);  // the main window, then its five controls
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const standin::Window& control = standin::WindowOf(windows[i + 1]);
        const Expected& want = expected[i];
        EXPECT_EQ(control.className, want.className);
        EXPECT_EQ(control.text, want.text);
        EXPECT_EQ(control.style, want.style);
        EXPECT_EQ(control.exStyle, 0u);
        EXPECT_EQ((std::vector<int>{control.x, control.y, control.width, control.height}),
                  (std::vector<int>{want.x, want.y, want.width, want.height}));
        EXPECT_EQ(control.parent, main);
        EXPECT_EQ(control.id, want.id);
        EXPECT_EQ(control.instance, nullptr);
    }
    EXPECT_EQ(hTextEdit, windows[2]);
    EXPECT_EQ(hCaptionEdit, windows[4]);
}

TEST_F(FormTest, ReadsBothFieldsBeforeWritingEither) {
    OpenWindow();
    Apply(u"Только для сотрудников", u"Внимание");
    const std::vector<std::string>& journal = Journal();
    auto at = [&](const char* entry) { return std::find(journal.begin(), journal.end(), entry) - journal.begin(); };
    EXPECT_LT(at("GetWindowTextW 101"), at("RegOpenKeyExW"));
    EXPECT_LT(at("GetWindowTextW 102"), at("RegOpenKeyExW"));
    EXPECT_EQ(standin::WinlogonText(u"LegalNoticeText"), u"Только для сотрудников");  // field 101 is the body
    EXPECT_EQ(standin::WinlogonText(u"LegalNoticeCaption"), u"Внимание");
}

TEST_F(FormTest, ConfirmsOnlyWhenBothValuesWereStored) {
    struct Case {
        const char* label;
        void (*fault)();
        std::u16string text, title;
        UINT type;
    } cases[] = {
        {"both stored", [] {}, kConfirmation, u"Успех", MB_OK | MB_ICONINFORMATION},
        {"text denied", [] { standin::FailOpen(ERROR_ACCESS_DENIED, 1); },
         u"Не удалось записать в реестр: LegalNoticeText.", u"Ошибка", MB_OK | MB_ICONERROR},
        {"caption set fails", [] { standin::FailSet(ERROR_ACCESS_DENIED, 2); },
         u"Не удалось записать в реестр: LegalNoticeCaption.", u"Ошибка", MB_OK | MB_ICONERROR},
        {"key missing", [] { standin::RemoveWinlogonKey(); },
         u"Не удалось записать в реестр: LegalNoticeText, LegalNoticeCaption.", u"Ошибка", MB_OK | MB_ICONERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        OpenWindow();
        c.fault();
        Apply(u"body", u"title");
        MessageBoxCall box = OnlyBox();
        EXPECT_EQ(box.owner, main);
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.title, c.title);
        EXPECT_EQ(box.type, c.type);
    }
}

TEST_F(FormTest, RefusesOverlongFieldsWritingNothing) {
    const std::u16string overlong(256, u'ж');
    struct Case {
        const char* label;
        std::u16string text, caption;
    } cases[] = {
        {"text of 256", overlong, u"title"},
        {"caption of 256", u"body", overlong},
        {"text ends in a pair split at 255", std::u16string(254, u'ж') + u"\U0001F600", u"title"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        OpenWindow();
        Apply(c.text, c.caption);
        EXPECT_TRUE(standin::OpenCalls().empty());
        EXPECT_EQ(standin::WinlogonText(u"LegalNoticeText"), u"old text");
        EXPECT_EQ(standin::WinlogonText(u"LegalNoticeCaption"), u"old caption");
        MessageBoxCall box = OnlyBox();
        EXPECT_EQ(box.owner, main);
        EXPECT_EQ(box.text, kTooLong);
        EXPECT_EQ(box.title, u"Ошибка");
        EXPECT_EQ(box.type, UINT(MB_OK | MB_ICONERROR));
        EXPECT_EQ(standin::WindowOf(hTextEdit).text, c.text) << "the field keeps what was typed";
    }
}

TEST_F(FormTest, StoresTextsOfExactly255Units) {
    OpenWindow();
    const std::u16string longest = std::u16string(253, u'ж') + u"\U0001F600";
    Apply(longest, longest);
    EXPECT_EQ(standin::WinlogonValue(u"LegalNoticeText")->data.size(), 512u);
    EXPECT_EQ(standin::WinlogonText(u"LegalNoticeText"), longest);
    EXPECT_EQ(standin::WinlogonText(u"LegalNoticeCaption"), longest);
    EXPECT_EQ(OnlyBox().text, kConfirmation);
}

TEST_F(FormTest, MissingFieldWritesNothing) {
    struct Case {
        const char* label;
        int failingEdit;  // 0: both
    } cases[] = {{"both fields missing", 0}, {"text field missing", 1}, {"caption field missing", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        standin::FailCreateWindow(u"EDIT", c.failingEdit);
        OpenWindow();
        EXPECT_EQ(hTextEdit == nullptr, c.failingEdit != 2);
        EXPECT_EQ(hCaptionEdit == nullptr, c.failingEdit != 1);
        standin::Click(standin::ChildWithId(main, IDC_APPLY_BUTTON));
        EXPECT_TRUE(standin::OpenCalls().empty());
        EXPECT_EQ(standin::WinlogonText(u"LegalNoticeText"), u"old text");
        MessageBoxCall box = OnlyBox();
        EXPECT_EQ(box.title, u"Ошибка");
        EXPECT_EQ(box.type, UINT(MB_OK | MB_ICONERROR));
    }
}

TEST_F(FormTest, OtherCommandsDoNothing) {
    OpenWindow();
    standin::TypeInto(standin::ChildWithId(main, IDC_TEXT_EDIT), u"body");      // EN_CHANGE from 101
    standin::TypeInto(standin::ChildWithId(main, IDC_CAPTION_EDIT), u"title");  // EN_CHANGE from 102
    for (WORD id : {0, 1, 2, 101, 102, 104, 0xFFFF}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(NoticeWindowProc(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0), 0);
    }
    EXPECT_TRUE(standin::OpenCalls().empty());
    EXPECT_TRUE(standin::MessageBoxes().empty());
}

}  // namespace
