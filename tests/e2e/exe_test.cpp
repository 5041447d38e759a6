// The built legalnotice.exe, started and checked from outside: under Wine in
// the test command, and on real Windows from the test bundle. Expectations
// are Windows' documented behaviour; where Wine differs, the check says so.
#include <gtest/gtest.h>

#include <cstdio>

#include "exe_driver.h"

namespace {

const std::wstring kConfirmation = L"Значения применены! Перезагрузите компьютер.";
const DWORD kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, missing from mingw-w64's winerror.h
const std::wstring kNeitherWritten = L"Не удалось записать в реестр: LegalNoticeText, LegalNoticeCaption.";

// LEGALNOTICE_TEST_HOLD=Suite.Test stops that test while its change to the
// key is in effect, so that a test of the runner can kill the run there and
// check that the next run puts everything back.
void HoldHereIfAsked() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    wchar_t wanted[256];
    if (GetEnvironmentVariableW(L"LEGALNOTICE_TEST_HOLD", wanted, 256) && Utf8(wanted) == name) {
        std::printf("holding in %s; kill the run now\n", name.c_str());
        std::fflush(stdout);
        Sleep(INFINITE);
    }
}

// Where run-tests.cmd wants the pictures of the window; empty elsewhere.
std::wstring PictureFolder() {
    wchar_t folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"LEGALNOTICE_REPORT_DIR", folder, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(folder) + L"\\" : L"";
}

class ExeTest : public ::testing::Test {
protected:
    void SetUp() override {
        before = ReadWinlogon();
        ASSERT_TRUE(before.exists) << "the Winlogon key should exist before each test";
        ASSERT_TRUE(program.Start(L"/ignored --arguments"))
            << "legalnotice.exe showed no window; starting it failed with error " << program.startError
            << (program.startError == kElevationRequired ? " (the tests must run elevated)" : "");
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
        EXPECT_TRUE(after == expected) << "Winlogon changed beyond the two values: " << Differences(expected, after);
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
    EXPECT_TRUE(ProcessIsElevated(program.process.hProcess)) << "the manifest asks for administrator rights";
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
        {L"Edit", L"", 0x50800080, 101, {10, 30, 310, 50}},
        {L"Static", L"LegalNoticeCaption:", 0x50000000, 0, {10, 60, 160, 80}},
        {L"Edit", L"", 0x50800080, 102, {10, 80, 310, 100}},
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
        // Wine's edit control takes WS_BORDER out of its style and draws the
        // border itself; what Windows' reads back is not documented, so the
        // bit is not compared for the edits.
        bool edit = want.id == 101 || want.id == 102;
        EXPECT_EQ(GetWindowLongW(control, GWL_STYLE) | (edit ? WS_BORDER : 0), want.style);
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
    if (!RunningOnWine()) GTEST_SKIP() << "moves the Winlogon key: only in a Wine prefix made for the tests";
    Fill(L"body", L"title");
    {
        WinlogonRenamedAside aside;
        ASSERT_TRUE(aside.ok);
        HoldHereIfAsked();
        ExpectError(PressApply(main), kNeitherWritten);
        EXPECT_FALSE(ReadWinlogon().exists) << "the program must not create the key";
    }
    EXPECT_TRUE(ReadWinlogon() == before) << "not as it was: " << Differences(before, ReadWinlogon());
}

TEST_F(ExeTest, DeniedKeyIsReportedForBothValuesAndNothingWritten) {
    Fill(L"body", L"title");
    {
        SetValueDenied denied;
        ASSERT_TRUE(denied.ok) << "could not put a deny ACE in front of the Winlogon key's DACL";
        HoldHereIfAsked();
        ExpectError(PressApply(main), kNeitherWritten);
        EXPECT_EQ(Differences(before, ReadWinlogon()), "its security descriptor")
            << "only the deny ACE, nothing written";
    }
    EXPECT_TRUE(ReadWinlogon() == before) << "not as it was: " << Differences(before, ReadWinlogon());
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

// Files planted beside the exe for one test, and removed again.
struct Planted {
    ~Planted() {
        for (const std::wstring& file : files)
            for (int attempt = 0; !DeleteFileW(file.c_str()) && attempt < 50; ++attempt) Sleep(100);  // once unloaded
    }
    // False if the file could not be put there.
    bool Put(const std::wstring& from, const std::wstring& to) {
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
        files.push_back(to);
        return true;
    }
    std::vector<std::wstring> files;
};

TEST_F(ExeTest, LoadsNoDllPlantedInItsFolderByBareName) {
    const std::wstring folder = FolderOf(ProgramPath());
    const std::wstring planted = folder + L"planted_probe.dll", unhardened = folder + L"unhardened_floor.exe";
    Planted files;
    if (!files.Put(DriverFolder() + L"planted_probe.dll", planted)) {
        DWORD error = GetLastError();
        GTEST_SKIP() << "cannot plant a DLL in " << Utf8(folder) << " (error " << error << ")";
    }
    ASSERT_TRUE(files.Put(DriverFolder() + L"floor.exe", unhardened));

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
}

// The person test's twin for Windows, where there is no X server for
// xdotool: the mouse and keyboard through SendInput.
TEST_F(ExeTest, PersonClicksTypesAppliesConfirmsWithEnterAndClosesWithAltF4) {
    const std::wstring text = L"Только для сотрудников. Вход фиксируется.", caption = L"Внимание";
    const DWORD thread = program.process.dwThreadId;
    HWND textEdit = GetDlgItem(main, 101), captionEdit = GetDlgItem(main, 102);
    // Above every other window (on a CI runner, its console), so that the
    // clicks land on it; the clicks themselves activate it, as a person's do.
    SetWindowPos(main, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    ClickMiddleOf(textEdit);
    ASSERT_TRUE(WaitForFocus(thread, textEdit)) << "a click into the text field gives it the focus";
    TypeText(text);
    ClickMiddleOf(captionEdit);
    ASSERT_TRUE(WaitForFocus(thread, captionEdit));
    TypeText(caption);
    EXPECT_TRUE(WaitUntil([&] { return EditTextOf(textEdit) == text; })) << Utf8(EditTextOf(textEdit));
    EXPECT_TRUE(WaitUntil([&] { return EditTextOf(captionEdit) == caption; })) << Utf8(EditTextOf(captionEdit));
    const std::wstring pictures = PictureFolder();
    Sleep(200);  // only so that the picture shows the text painted
    if (!pictures.empty()) EXPECT_TRUE(SaveScreenPicture(main, pictures + L"main-window.bmp"));

    ClickMiddleOf(GetDlgItem(main, 103));
    MessageBoxSeen box = WaitForMessageBox(main);
    ExpectConfirmation(box);
    ASSERT_NE(box.box, nullptr);
    ASSERT_TRUE(WaitForFocus(thread, GetDlgItem(box.box, IDOK))) << "OK, the default button, takes Enter";
    if (!pictures.empty()) EXPECT_TRUE(SaveScreenPicture(box.box, pictures + L"confirmation.bmp"));
    PressKeys({VK_RETURN});
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box.box); })) << "Enter did not dismiss the confirmation";

    ASSERT_TRUE(WaitForFocus(thread, nullptr, main)) << "the main window is active again once the box is gone";
    PressKeys({VK_MENU, VK_F4});
    EXPECT_EQ(program.WaitForExit(), 0u) << "Alt+F4 ends the program with exit code 0";
    program.main = nullptr;
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), SzBytes(text));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), SzBytes(caption));
    ExpectOnlyNoticeValuesChanged();
}

TEST_F(ExeTest, ClosingAtOnceTouchesNothing) {
    EXPECT_EQ(program.CloseAndWait(), 0u);
    program.main = nullptr;
    EXPECT_TRUE(ReadWinlogon() == before);
}

}  // namespace
