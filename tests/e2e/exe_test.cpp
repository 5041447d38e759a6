// The built legalnotice.exe, started and checked from outside: under Wine in
// the test command, and on real Windows from the test bundle. Expectations
// are Windows' documented behaviour; where Wine differs, the check says so.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "exe_driver.h"
#include "key_faults.h"
#include "notice_form.h"  // the program's control IDs
#include "winlogon_probe.h"

// In test_program.cpp: says why the run cannot go on, puts the key back, ends with 2.
[[noreturn]] void CouldNotRun(const std::wstring& why);

namespace {

const std::wstring kConfirmation = L"Значения применены! Перезагрузите компьютер.";
const std::wstring kNeitherWritten = L"Не удалось записать в реестр: LegalNoticeText, LegalNoticeCaption.";

// LEGALNOTICE_TEST_HOLD=Suite.Test stops that test while its change to the
// key is in effect, so that a test of the runner can kill the run there and
// check that the next run puts everything back, or start a second run
// beside it. With LEGALNOTICE_TEST_RELEASE=FILE the test goes on once FILE
// exists.
void HoldHereIfAsked() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    wchar_t wanted[256], release[MAX_PATH];
    if (!GetEnvironmentVariableW(L"LEGALNOTICE_TEST_HOLD", wanted, 256) || Utf8(wanted) != name) return;
    std::printf("holding in %s\n", name.c_str());
    std::fflush(stdout);
    bool released = GetEnvironmentVariableW(L"LEGALNOTICE_TEST_RELEASE", release, MAX_PATH);
    while (!released || GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES) Sleep(50);
}

// Where run-tests.cmd wants the pictures of the window; empty elsewhere.
std::wstring PictureFolder() {
    wchar_t folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"LEGALNOTICE_REPORT_DIR", folder, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(folder) + L"\\" : L"";
}

// RegQueryValueExW with a poisoned type and canary bytes past the buffer.
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

typedef std::vector<std::wstring> KeyChanges;
const wchar_t kTextEntry[] = L"Winlogon\\:LegalNoticeText", kCaptionEntry[] = L"Winlogon\\:LegalNoticeCaption";

// Starts a program for a test. One that Windows will not run at all (not
// elevated, or blocked by a policy) leaves nothing to test: the run then
// says why and ends with 2.
::testing::AssertionResult Started(Program& program, const std::wstring& path = ProgramPath(),
                                   const wchar_t* windowClass = L"LegalNoticeWindow") {
    if (program.Start(L"/ignored --arguments", path, windowClass)) return ::testing::AssertionSuccess();
    if (program.startError) CouldNotRun(CannotStart(path, program.startError));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(program.process.hProcess, &code);
    if (StoppedByPolicy(code)) CouldNotRun(CannotStart(path, code));
    return ::testing::AssertionFailure() << Utf8(path) << " showed no window"
                                         << (code == STILL_ACTIVE ? "" : "; it ended with " + std::to_string(code));
}

class ExeTest : public ::testing::Test {
protected:
    void SetUp() override {
        before = PictureOfWinlogon();
        ASSERT_TRUE(before.count(L"Winlogon (security)")) << "the Winlogon key should exist before each test";
        ASSERT_TRUE(Started(program));
        main = program.main;
    }
    void TearDown() override {
        if (program.main) EXPECT_EQ(program.CloseAndWait(), 0u) << "exit code after the window is closed";
        const KeySnapshot values = ValuesIn(before);
        for (const wchar_t* name : {L"LegalNoticeText", L"LegalNoticeCaption"}) RestoreWinlogon(values, name);
    }
    void Fill(const std::wstring& text, const std::wstring& caption) {
        ASSERT_TRUE(SetEditText(GetDlgItem(main, IDC_TEXT_EDIT), text));
        ASSERT_TRUE(SetEditText(GetDlgItem(main, IDC_CAPTION_EDIT), caption));
    }
    // Nothing in the key changed but, at most, the two notice values.
    void ExpectOnlyNoticeValuesChanged() {
        KeyPicture after = PictureOfWinlogon(), expected = before;
        for (KeyPicture* picture : {&after, &expected}) {
            picture->erase(kTextEntry);
            picture->erase(kCaptionEntry);
        }
        EXPECT_EQ(Changes(expected, after), KeyChanges{}) << "Winlogon changed beyond the two values";
    }
    static void ExpectConfirmation(const MessageBoxSeen& box) {
        ASSERT_NE(box.box, nullptr) << "no confirmation appeared";
        EXPECT_EQ(Utf8(box.title), "Успех");
        EXPECT_EQ(Utf8(box.text), Utf8(kConfirmation));
        EXPECT_EQ(box.icon, UINT(MB_ICONINFORMATION)) << box.unseen;
        EXPECT_TRUE(box.ownerDisabled) << "the box is modal to the main window";
    }
    static void ExpectError(const MessageBoxSeen& box, const std::wstring& text) {
        ASSERT_NE(box.box, nullptr) << "no error box appeared";
        EXPECT_EQ(Utf8(box.title), "Ошибка");
        EXPECT_EQ(Utf8(box.text), Utf8(text));
        EXPECT_EQ(box.icon, UINT(MB_ICONERROR)) << box.unseen;
        EXPECT_TRUE(box.ownerDisabled);
    }
    KeyPicture before;
    Program program;
    HWND main = nullptr;
};

// Above 100 % Windows stretches the program's window, and an edge may land
// a pixel off when it is measured back in the program's own pixels.
LONG Slack(HWND window) { return StretchOf(window) > 1 ? 1 : 0; }

TEST_F(ExeTest, MainWindowAndItsClassAreAsBuilt) {
    EXPECT_TRUE(ProcessIsElevated(program.process.hProcess)) << "the manifest asks for administrator rights";
    EXPECT_EQ(ClassOf(main), L"LegalNoticeWindow");
    EXPECT_EQ(Utf8(TextOf(main)), "Настройка LegalNotice");
    EXPECT_EQ(GetWindowLongW(main, GWL_STYLE), LONG(0x10CF0000 | WS_CLIPSIBLINGS));
    EXPECT_EQ(GetWindowLongW(main, GWL_EXSTYLE), LONG(WS_EX_WINDOWEDGE));
    std::printf("legalnotice.exe's window: %s\n", Scaling(main).c_str());
    EXPECT_EQ(UnexpectedStretch(main), "");
    RECT rect;
    ASSERT_EQ(ProgramRect(main, &rect), "");
    EXPECT_NEAR(rect.right - rect.left, 340, Slack(main));
    EXPECT_NEAR(rect.bottom - rect.top, 200, Slack(main));
    EXPECT_EQ(GetParent(main), nullptr);

    EXPECT_EQ(GetClassLongPtrW(main, GCL_STYLE), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCL_CBCLSEXTRA), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCL_CBWNDEXTRA), 0u);
    EXPECT_EQ(GetClassLongPtrW(main, GCLP_HICON), 0u);
    // Brush and cursor do not read back across processes under Wine: look at
    // the screen and at the pointer instead, in the gap right of the button.
    RECT button, client;
    GetWindowRect(GetDlgItem(main, IDC_APPLY_BUTTON), &button);
    GetClientRect(main, &client);
    MapWindowPoints(main, nullptr, reinterpret_cast<POINT*>(&client), 2);
    POINT empty = {(button.right + client.right) / 2, (button.top + button.bottom) / 2};
    COLORREF background = CLR_INVALID;
    ASSERT_EQ(ScreenPixel(main, empty, GetSysColor(COLOR_BTNFACE), &background), "");
    EXPECT_EQ(background, GetSysColor(COLOR_BTNFACE)) << "background brush";
    HCURSOR cursor = nullptr;
    ASSERT_EQ(CursorOver(main, empty, &cursor), "");
    EXPECT_NE(cursor, nullptr) << "the class sets no cursor";
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
        {L"Edit", L"", 0x50800080, IDC_TEXT_EDIT, {10, 30, 310, 50}},
        {L"Static", L"LegalNoticeCaption:", 0x50000000, 0, {10, 60, 160, 80}},
        {L"Edit", L"", 0x50800080, IDC_CAPTION_EDIT, {10, 80, 310, 100}},
        {L"Button", L"Создать и применить", 0x50000000, IDC_APPLY_BUTTON, {10, 110, 310, 140}},
    };
    std::vector<HWND> controls = Children(main);
    ASSERT_EQ(controls.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        HWND control = controls[i];
        const Expected& want = expected[i];
        EXPECT_EQ(ClassOf(control), want.className);
        bool edit = want.id == IDC_TEXT_EDIT || want.id == IDC_CAPTION_EDIT;
        EXPECT_EQ(Utf8(edit ? EditTextOf(control) : TextOf(control)), Utf8(want.text));
        // Wine's edit control takes WS_BORDER out of its style and draws the
        // border itself; what Windows' reads back is not documented, so the
        // bit is not compared for the edits.
        EXPECT_EQ(GetWindowLongW(control, GWL_STYLE) | (edit ? WS_BORDER : 0), want.style);
        EXPECT_EQ(GetDlgCtrlID(control), want.id);
        RECT rect;
        ASSERT_EQ(RectInParent(control, &rect), "");
        EXPECT_NEAR(rect.left, want.rect.left, Slack(main));
        EXPECT_NEAR(rect.top, want.rect.top, Slack(main));
        EXPECT_NEAR(rect.right, want.rect.right, Slack(main));
        EXPECT_NEAR(rect.bottom, want.rect.bottom, Slack(main));
    }
}

TEST_F(ExeTest, NoFieldHasTheFocusAtStart) {
    GUITHREADINFO info = {sizeof info};
    ASSERT_TRUE(GetGUIThreadInfo(program.process.dwThreadId, &info));
    EXPECT_NE(info.hwndFocus, GetDlgItem(main, IDC_TEXT_EDIT));
    EXPECT_NE(info.hwndFocus, GetDlgItem(main, IDC_CAPTION_EDIT));
}

TEST_F(ExeTest, ControlsKeepTheirPlacesWhenTheWindowIsResized) {
    std::vector<RECT> placed;
    for (HWND control : Children(main)) ASSERT_EQ(RectInParent(control, &placed.emplace_back()), "");
    SetWindowPos(main, nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER);
    std::vector<HWND> controls = Children(main);
    ASSERT_EQ(controls.size(), placed.size());
    for (size_t i = 0; i < controls.size(); ++i) {
        RECT now;
        ASSERT_EQ(RectInParent(controls[i], &now), "");
        EXPECT_TRUE(EqualRect(&now, &placed[i])) << "control " << i + 1 << " moved";
    }
    RECT outer;
    GetWindowRect(main, &outer);
    // Stretched, the width is kept in the program's pixels (700 / 1.5) and read back rounded.
    EXPECT_NEAR(outer.right - outer.left, 700, Slack(main)) << "the resize itself should have happened";
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
    EXPECT_EQ(Utf8(EditTextOf(GetDlgItem(main, IDC_TEXT_EDIT))), Utf8(text))
        << "applying leaves the fields as they were";
    ExpectOnlyNoticeValuesChanged();
    HoldHereIfAsked();
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
    EXPECT_EQ(EditTextOf(GetDlgItem(main, IDC_CAPTION_EDIT)).size(), 256u) << "the field keeps the whole text";
}

TEST_F(ExeTest, MissingKeyIsReportedForBothValuesAndNotCreated) {
    if (!RunningOnWine()) GTEST_SKIP() << "moves the Winlogon key: only in a Wine prefix made for the tests";
    Fill(L"body", L"title");
    {
        WinlogonRenamedAside aside;
        ASSERT_TRUE(aside.ok);
        HoldHereIfAsked();
        ExpectError(PressApply(main), kNeitherWritten);
        const KeyPicture missing = {{L"Winlogon (unreadable)", {}}};
        EXPECT_EQ(PictureOfWinlogon(), missing) << "the program must not create the key";
    }
    EXPECT_EQ(Changes(before, PictureOfWinlogon()), KeyChanges{}) << "not as it was";
}

TEST_F(ExeTest, DeniedKeyIsReportedForBothValuesAndNothingWritten) {
    Fill(L"body", L"title");
    {
        SetValueDenied denied;
        ASSERT_TRUE(denied.ok) << "could not put a deny ACE in front of the Winlogon key's DACL";
        HoldHereIfAsked();
        ExpectError(PressApply(main), kNeitherWritten);
        EXPECT_EQ(Changes(before, PictureOfWinlogon()), KeyChanges{L"Winlogon (security) changed"})
            << "only the deny ACE, nothing written";
    }
    EXPECT_EQ(Changes(before, PictureOfWinlogon()), KeyChanges{}) << "not as it was";
}

TEST_F(ExeTest, NotificationsAndOtherCommandsWriteNothing) {
    PutWinlogonString(L"LegalNoticeText", L"old text");
    PutWinlogonString(L"LegalNoticeCaption", L"old caption");
    KeyPicture unchanged = PictureOfWinlogon();
    Fill(L"body", L"title");  // the edits notify EN_UPDATE and EN_CHANGE
    for (int id : {0, 1, 2, int(IDC_TEXT_EDIT), int(IDC_CAPTION_EDIT), IDC_APPLY_BUTTON + 1}) {
        SCOPED_TRACE(id);
        DWORD_PTR result = 0xdeadbeef;
        // Sent, so it is handled before we look; a box would make it time out.
        EXPECT_TRUE(
            SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0, SMTO_ABORTIFHUNG, 3000, &result));
        EXPECT_EQ(result, 0u);
    }
    EXPECT_FALSE(AnyMessageBox(main));
    EXPECT_EQ(Changes(unchanged, PictureOfWinlogon()), KeyChanges{}) << "nothing in the Winlogon key may change";
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
    if (!files.Put(OwnFolder() + L"planted_probe.dll", planted)) {
        DWORD error = GetLastError();
        GTEST_SKIP() << "cannot plant a DLL in " << Utf8(folder) << " (error " << error << ")";
    }
    ASSERT_TRUE(files.Put(OwnFolder() + L"floor.exe", unhardened));

    // Under Wine a cross-process request now and then gets no answer, and the
    // program it was sent to hangs: the loads are then tried once more, on a
    // fresh program. Twice is a fault of Wine's, not of the program.
    Program fresh;
    for (Program* tested : {&program, &fresh}) {
        if (tested == &fresh) {
            std::printf(
                "a cross-process request got no answer (a fault of Wine's): the loads are tried once more, "
                "on a fresh program\n");
            program.main = nullptr;  // hung: it ends with the test
            ASSERT_TRUE(Started(fresh));
        }
        Program floor;
        ASSERT_TRUE(Started(floor, unhardened, L"FloorWindow"));
        // The check, and its controls, without which it could not fail: the
        // probe loads into the program by its full path, and by its bare name
        // into a program from the same folder that does not restrict the search.
        const DWORD pid = tested->process.dwProcessId;
        RemoteCall bare = LoadLibraryInto(tested->process.hProcess, L"planted_probe.dll");
        const bool loadedByBareName = ProbeLoadedIn(pid);
        RemoteCall full = bare == RemoteCall::kRan ? LoadLibraryInto(tested->process.hProcess, planted) : bare;
        const bool loadedByFullPath = ProbeLoadedIn(pid);
        RemoteCall control =
            full == RemoteCall::kRan ? LoadLibraryInto(floor.process.hProcess, L"planted_probe.dll") : full;
        if (control == RemoteCall::kNoAnswer) continue;
        ASSERT_EQ(control, RemoteCall::kRan) << "no thread could be made to load the DLL";
        EXPECT_FALSE(loadedByBareName) << "a bare name found the DLL beside the exe";
        EXPECT_TRUE(loadedByFullPath) << "the probe does not load even by its full path";
        EXPECT_TRUE(ProbeLoadedIn(floor.process.dwProcessId)) << "not even an unhardened program loads it by bare name";
        EXPECT_EQ(floor.CloseAndWait(), 0u);
        EXPECT_EQ(tested->CloseAndWait(), 0u) << "the program works on after the loads";
        tested->main = nullptr;
        return;
    }
    GTEST_SKIP() << "twice a cross-process request got no answer: a fault of Wine's, not of the program";
}

// The person test's twin for Windows, where there is no X server for
// xdotool: the mouse and keyboard through SendInput. Each click lands on the
// control it aims at and each key goes to the foreground window only, so
// nothing reaches another window if the person at the machine moves on.
TEST_F(ExeTest, PersonClicksTypesAppliesConfirmsWithEnterAndClosesWithAltF4) {
    const std::wstring text = L"Только для сотрудников. Вход фиксируется.", caption = L"Внимание";
    HWND textEdit = GetDlgItem(main, IDC_TEXT_EDIT), captionEdit = GetDlgItem(main, IDC_CAPTION_EDIT);

    ASSERT_EQ(ClickMiddleOf(textEdit), "");
    ASSERT_EQ(WaitForFocus(textEdit), "") << "a click into the text field gives it the focus";
    ASSERT_EQ(TypeText(main, text), "");
    ASSERT_EQ(ClickMiddleOf(captionEdit), "");
    ASSERT_EQ(WaitForFocus(captionEdit), "");
    ASSERT_EQ(TypeText(main, caption), "");
    EXPECT_TRUE(WaitUntil([&] { return EditTextOf(textEdit) == text; })) << Utf8(EditTextOf(textEdit));
    EXPECT_TRUE(WaitUntil([&] { return EditTextOf(captionEdit) == caption; })) << Utf8(EditTextOf(captionEdit));
    const std::wstring pictures = PictureFolder();
    Sleep(200);  // only so that the picture shows the text painted
    if (!pictures.empty()) EXPECT_EQ(SaveScreenPicture(main, pictures + L"main-window.bmp"), "");

    ASSERT_EQ(ClickMiddleOf(GetDlgItem(main, IDC_APPLY_BUTTON)), "");
    MessageBoxSeen box = WaitForMessageBox(main);
    ExpectConfirmation(box);
    ASSERT_NE(box.box, nullptr);
    ASSERT_EQ(WaitForFocus(box.button), "") << "the box's one button, its default, takes Enter";
    if (!pictures.empty()) EXPECT_EQ(SaveScreenPicture(box.box, pictures + L"confirmation.bmp"), "");
    ASSERT_EQ(PressKeys(box.box, {VK_RETURN}), "");
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box.box); })) << "Enter did not dismiss the confirmation";

    ASSERT_EQ(WaitForFocus(main), "") << "the main window is active again once the box is gone";
    ASSERT_EQ(PressKeys(main, {VK_MENU, VK_F4}), "");
    EXPECT_EQ(program.WaitForExit(), 0u) << "Alt+F4 ends the program with exit code 0";
    program.main = nullptr;
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeText"), SzBytes(text));
    EXPECT_EQ(QueryWinlogonValue(L"LegalNoticeCaption"), SzBytes(caption));
    ExpectOnlyNoticeValuesChanged();
}

TEST_F(ExeTest, ClosingAtOnceTouchesNothing) {
    EXPECT_EQ(program.CloseAndWait(), 0u);
    program.main = nullptr;
    EXPECT_EQ(Changes(before, PictureOfWinlogon()), KeyChanges{});
}

}  // namespace
