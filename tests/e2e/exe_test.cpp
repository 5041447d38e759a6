// The built legalnotice.exe, run under Wine and checked from outside.
#include <gtest/gtest.h>

#include "exe_driver.h"

namespace {

const std::wstring kConfirmation = L"Значения применены! Перезагрузите компьютер.";

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 4 + 1, '\0');
    out.resize(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr));
    return out;
}

class ExeTest : public ::testing::Test {
protected:
    void SetUp() override {
        before = ReadWinlogon();
        ASSERT_TRUE(before.exists) << "the Winlogon key should exist before each test";
        ASSERT_TRUE(program.Start(L"/ignored --arguments")) << "legalnotice.exe showed no window";
        main = program.main;
    }
    void TearDown() override {
        if (program.main) EXPECT_EQ(program.CloseAndWait(), 0u) << "exit code after the window is closed";
        RestoreNoticeValues(before);
    }
    void Fill(const std::wstring& text, const std::wstring& caption) {
        ASSERT_TRUE(SetEditText(GetDlgItem(main, 101), text));
        ASSERT_TRUE(SetEditText(GetDlgItem(main, 102), caption));
    }
    // Nothing in the key changed but, at most, the two notice values.
    void ExpectOnlyNoticeValuesChanged() {
        KeyState after = ReadWinlogon(), expected = before;
        for (KeyState* state : {&after, &expected}) {
            state->values.erase(L"LegalNoticeText");
            state->values.erase(L"LegalNoticeCaption");
        }
        EXPECT_TRUE(after == expected) << "another value or subkey of Winlogon changed";
    }
    static void ExpectConfirmation(const MessageBoxSeen& box) {
        ASSERT_NE(box.box, nullptr) << "no confirmation appeared";
        EXPECT_EQ(Utf8(box.title), "Успех");
        EXPECT_EQ(Utf8(box.text), Utf8(kConfirmation));
        EXPECT_EQ(box.icon, UINT(MB_ICONINFORMATION));
        EXPECT_TRUE(box.ownerDisabled) << "the box is modal to the main window";
    }
    static void ExpectError(const MessageBoxSeen& box, const std::wstring& text) {
        ASSERT_NE(box.box, nullptr) << "no error box appeared";
        EXPECT_EQ(Utf8(box.title), "Ошибка");
        EXPECT_EQ(Utf8(box.text), Utf8(text));
        EXPECT_EQ(box.icon, UINT(MB_ICONERROR));
        EXPECT_TRUE(box.ownerDisabled);
    }
    KeyState before;
    Program program;
    HWND main = nullptr;
};

TEST_F(ExeTest, MainWindowAndItsClassAreAsBuilt) {
    EXPECT_EQ(ClassOf(main), L"LegalNoticeWindow");
    EXPECT_EQ(Utf8(TextOf(main)), "Настройка LegalNotice");
    EXPECT_EQ(GetWindowLongW(main, GWL_STYLE), LONG(0x10CF0000 | WS_CLIPSIBLINGS));
    EXPECT_EQ(GetWindowLongW(main, GWL_EXSTYLE), LONG(WS_EX_WINDOWEDGE));
    RECT rect;
    GetWindowRect(main, &rect);
    EXPECT_EQ(rect.right - rect.left, 340);
    EXPECT_EQ(rect.bottom - rect.top, 200);
    EXPECT_EQ(GetParent(main), nullptr);

    EXPECT_EQ(GetClassLongPtrW(main, GCL_STYLE), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCL_CBCLSEXTRA), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCL_CBWNDEXTRA), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCLP_HICON), 0u);
    // Brush and cursor do not read back across processes under Wine: look at
    // the screen and at the pointer instead.
    POINT empty = {320, 150};  // client point right of the button, below the fields
    EXPECT_EQ(ClientPixel(main, empty, GetSysColor(COLOR_BTNFACE)), GetSysColor(COLOR_BTNFACE)) << "background brush";
    EXPECT_NE(CursorOver(main, empty), nullptr) << "the class sets no cursor";
}

TEST_F(ExeTest, FormHasFiveControlsAsBuilt) {
    struct Expected {
        const wchar_t* className;
        std::wstring text;
        LONG style;
        int id;
        RECT rect;
    } expected[] = {
        {L"Static", L"LegalNoticeText:", 0x50000000, 0, {10, 10, 160, 30}},
        {L"Edit", L"", 0x50000080, 101, {10, 30, 310, 50}},  // the edit takes WS_BORDER over
        {L"Static", L"LegalNoticeCaption:", 0x50000000, 0, {10, 60, 160, 80}},
        {L"Edit", L"", 0x50000080, 102, {10, 80, 310, 100}},
        {L"Button", L"Создать и применить", 0x50000000, 103, {10, 110, 310, 140}},
    };
    std::vector<HWND> controls = Children(main);
    ASSERT_EQ(controls.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        HWND control = controls[i];
        const Expected& want = expected[i];
        EXPECT_EQ(ClassOf(control), want.className);
        EXPECT_EQ(Utf8(want.id == 101 || want.id == 102 ? EditTextOf(control) : TextOf(control)), Utf8(want.text));
        EXPECT_EQ(GetWindowLongW(control, GWL_STYLE), want.style);
        EXPECT_EQ(GetDlgCtrlID(control), want.id);
        RECT rect = RectInParent(control);
        EXPECT_EQ((std::vector<LONG>{rect.left, rect.top, rect.right, rect.bottom}),
                  (std::vector<LONG>{want.rect.left, want.rect.top, want.rect.right, want.rect.bottom}));
    }
}

TEST_F(ExeTest, NoFieldHasTheFocusAtStart) {
    GUITHREADINFO info = {sizeof info};
    ASSERT_TRUE(GetGUIThreadInfo(program.process.dwThreadId, &info));
    EXPECT_NE(info.hwndFocus, GetDlgItem(main, 101));
    EXPECT_NE(info.hwndFocus, GetDlgItem(main, 102));
}

TEST_F(ExeTest, ControlsKeepTheirPlacesWhenTheWindowIsResized) {
    std::vector<RECT> placed;
    for (HWND control : Children(main)) placed.push_back(RectInParent(control));
    SetWindowPos(main, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER);
    std::vector<HWND> controls = Children(main);
    ASSERT_EQ(controls.size(), placed.size());
    for (size_t i = 0; i < controls.size(); ++i) {
        RECT now = RectInParent(controls[i]);
        EXPECT_TRUE(EqualRect(&now, &placed[i])) << "control " << i + 1 << " moved";
    }
    RECT outer;
    GetWindowRect(main, &outer);
    EXPECT_EQ(outer.right - outer.left, 700) << "the resize itself should have happened";
}

TEST_F(ExeTest, StoresCyrillicAndNonBmpTextExactlyAndConfirms) {
    const std::wstring text = L"Только для сотрудников \U0001F512", caption = L"Внимание";
    Fill(text, caption);
    MessageBoxSeen box = PressApply(main);
    ExpectConfirmation(box);
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), SzBytes(text));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText").bytes.size(), text.size() * 2 + 2);
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), SzBytes(caption));
    EXPECT_TRUE(IsWindowEnabled(main)) << "the main window is usable again after the box";
    EXPECT_EQ(Utf8(EditTextOf(GetDlgItem(main, 101))), Utf8(text)) << "applying leaves the fields as they were";
    ExpectOnlyNoticeValuesChanged();
}

TEST_F(ExeTest, EmptyFieldsStoreTwoByteValues) {
    PutWinlogonString(L"LegalNoticeText", L"old text");
    PutWinlogonString(L"LegalNoticeCaption", L"old caption");
    ExpectConfirmation(PressApply(main));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), (RawValue{REG_SZ, {0, 0}}));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), (RawValue{REG_SZ, {0, 0}}));
    ExpectOnlyNoticeValuesChanged();
}

TEST_F(ExeTest, Stores255UnitsAs512Bytes) {
    const std::wstring longest = std::wstring(253, L'ж') + L"\U0001F600";
    Fill(longest, longest);
    ExpectConfirmation(PressApply(main));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText").bytes.size(), 512u);
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), SzBytes(longest));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), SzBytes(longest));
    ExpectOnlyNoticeValuesChanged();
}

TEST_F(ExeTest, RefusesOverlongInputAndKeepsTheOldValues) {
    PutWinlogonString(L"LegalNoticeText", L"old text");
    PutWinlogonString(L"LegalNoticeCaption", L"old caption");
    Fill(L"body", std::wstring(256, L'ж'));
    ExpectError(PressApply(main), L"Текст и заголовок — не более 255 знаков каждый. Ничего не записано.");
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), SzBytes(L"old text"));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), SzBytes(L"old caption"));
    EXPECT_EQ(EditTextOf(GetDlgItem(main, 102)).size(), 256u) << "the field keeps the whole text";
}

TEST_F(ExeTest, MissingKeyIsReportedForBothValuesAndNotCreated) {
    WinlogonKeyAside aside;
    ASSERT_TRUE(aside.ok);
    Fill(L"body", L"title");
    ExpectError(PressApply(main), L"Не удалось записать в реестр: LegalNoticeText, LegalNoticeCaption.");
    EXPECT_FALSE(ReadWinlogon().exists) << "the program must not create the key";
}

TEST_F(ExeTest, NotificationsAndOtherCommandsWriteNothing) {
    PutWinlogonString(L"LegalNoticeText", L"old text");
    PutWinlogonString(L"LegalNoticeCaption", L"old caption");
    KeyState unchanged = ReadWinlogon();
    Fill(L"body", L"title");  // the edits notify EN_UPDATE and EN_CHANGE
    for (WORD id : {0, 1, 2, 101, 102, 104}) {
        SCOPED_TRACE(id);
        DWORD_PTR result = 0xdeadbeef;
        // Sent, so it is handled before we look; a box would make it time out.
        EXPECT_TRUE(
            SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0, SMTO_ABORTIFHUNG, 3000, &result));
        EXPECT_EQ(result, 0u);
    }
    EXPECT_FALSE(AnyMessageBox(main));
    EXPECT_TRUE(ReadWinlogon() == unchanged) << "nothing in the Winlogon key may change";
}

TEST_F(ExeTest, LoadsNoDllPlantedInItsFolderByBareName) {
    const std::wstring folder = FolderOf(ProgramPath());
    const std::wstring planted = folder + L"planted_probe.dll", unhardened = folder + L"unhardened_floor.exe";
    ASSERT_TRUE(CopyFileW((DriverFolder() + L"tests\\planted_probe.dll").c_str(), planted.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((DriverFolder() + L"bench\\floor.exe").c_str(), unhardened.c_str(), FALSE));

    ASSERT_TRUE(LoadLibraryInto(program.process.hProcess, L"planted_probe.dll"));
    EXPECT_FALSE(ProbeLoadedIn(program.process.dwProcessId)) << "a bare name found the DLL beside the exe";
    // The controls, without which the check above could not fail: the probe
    // loads into the program by its full path, and by its bare name into a
    // program from the same folder that does not restrict the search.
    ASSERT_TRUE(LoadLibraryInto(program.process.hProcess, planted));
    EXPECT_TRUE(ProbeLoadedIn(program.process.dwProcessId)) << "the probe does not load even by its full path";
    Program floor;
    ASSERT_TRUE(floor.Start(L"", unhardened, L"FloorWindow"));
    ASSERT_TRUE(LoadLibraryInto(floor.process.hProcess, L"planted_probe.dll"));
    EXPECT_TRUE(ProbeLoadedIn(floor.process.dwProcessId)) << "not even an unhardened program loads it by bare name";

    EXPECT_EQ(floor.CloseAndWait(), 0u);
    EXPECT_EQ(program.CloseAndWait(), 0u) << "the program works on after the loads";
    program.main = nullptr;
    EXPECT_TRUE(DeleteFileW(unhardened.c_str()));
    EXPECT_TRUE(DeleteFileW(planted.c_str()));
}

TEST_F(ExeTest, ClosingAtOnceTouchesNothing) {
    EXPECT_EQ(program.CloseAndWait(), 0u);
    program.main = nullptr;
    EXPECT_TRUE(ReadWinlogon() == before);
}

}  // namespace
