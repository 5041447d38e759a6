// Store checks that need no fault injection: they run on the host stand-in
// and, cross-built, against Wine's registry, with the same expectations.
#include <gtest/gtest.h>

#include "logon_notice_store.h"
#include "winlogon_probe.h"

#ifndef _WIN32
#include "standin_control.h"
#endif

namespace {

const WString kText = TEXT("LegalNoticeText");
const WString kCaption = TEXT("LegalNoticeCaption");

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        standin::Reset();
#endif
        before = SnapshotWinlogon();
        ASSERT_FALSE(before.empty()) << "the Winlogon key should exist before each test";
    }
    void TearDown() override {
        RestoreWinlogon(before, kText);
        RestoreWinlogon(before, kCaption);
    }
    static RawValue Stored(const WString& name) {
        KeySnapshot now = SnapshotWinlogon();
        auto it = now.find(name);
        return it == now.end() ? RawValue{0xdeadbeef, {}} : it->second;
    }
    KeySnapshot before;
};

WString LongestText() {  // 253 BMP units and one surrogate pair: 255 units
    return WString(253, WCHAR(0x0436)) + TEXT("\U0001F600");
}

TEST_F(StoreTest, StoresEachTextAsRegSzOfUnitsTimesTwoPlusTwo) {
    struct Case {
        const char* label;
        WString text;
        WString caption;
        size_t bytes;
    } cases[] = {
        {"both empty", TEXT(""), TEXT(""), 2},
        {"ascii", TEXT("Authorised use only"), TEXT("Notice"), 40},
        {"cyrillic", TEXT("Только для сотрудников"), TEXT("Внимание"), 46},
        {"non-BMP counts two units", TEXT("A\U0001F600B"), TEXT("\U0001F512"), 10},
        {"255 units", LongestText(), LongestText(), 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(ApplyLogonNotice(c.text.c_str(), c.caption.c_str()), unsigned(STORED_BOTH));
        RawValue text = Stored(kText), caption = Stored(kCaption);
        EXPECT_EQ(text.bytes.size(), c.bytes);
        EXPECT_EQ(text, SzBytes(c.text));  // type, bytes and terminator
        EXPECT_EQ(caption, SzBytes(c.caption));
    }
}

TEST_F(StoreTest, ReplacesAnExistingValueWhole) {
    PutWinlogonString(kText, WString(200, TEXT('x')));
    PutWinlogonString(kCaption, TEXT("Old caption"));
    ApplyLogonNotice(TEXT("New"), TEXT(""));
    EXPECT_EQ(Stored(kText), SzBytes(TEXT("New")));  // no stale tail of the longer old text
    EXPECT_EQ(Stored(kCaption), SzBytes(TEXT("")));
}

TEST_F(StoreTest, RepeatedCallsRewriteTheValues) {
    ApplyLogonNotice(TEXT("Body"), TEXT("Title"));
    PutWinlogonString(kText, TEXT("changed elsewhere"));
    PutWinlogonString(kCaption, TEXT("changed elsewhere"));
    EXPECT_EQ(ApplyLogonNotice(TEXT("Body"), TEXT("Title")), unsigned(STORED_BOTH));
    EXPECT_EQ(Stored(kText), SzBytes(TEXT("Body")));
    EXPECT_EQ(Stored(kCaption), SzBytes(TEXT("Title")));
}

TEST_F(StoreTest, LeavesEveryOtherValueOfTheKeyAlone) {
    ApplyLogonNotice(TEXT("Body"), TEXT("Title"));
    KeySnapshot after = SnapshotWinlogon();
    KeySnapshot others = before;
    for (KeySnapshot* snapshot : {&after, &others}) {
        snapshot->erase(kText);
        snapshot->erase(kCaption);
    }
    EXPECT_EQ(after, others);
}

}  // namespace
