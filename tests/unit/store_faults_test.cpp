// Store behaviour under registry faults, on the host stand-in.
#include <gtest/gtest.h>

#include "logon_notice_store.h"
#include "standin_control.h"

namespace {

using standin::Journal;

class StoreFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::Reset();
        standin::PutWinlogonValue(u"LegalNoticeText", u"old text");
        standin::PutWinlogonValue(u"LegalNoticeCaption", u"old caption");
    }
};

TEST_F(StoreFaultTest, WritesTextThenCaptionEachWithItsOwnOpenAndClose) {
    ApplyLogonNotice(u"body", u"title");
    EXPECT_EQ(Journal(),
              (std::vector<std::string>{"RegOpenKeyExW", "RegSetValueExW LegalNoticeText", "RegCloseKey",
                                        "RegOpenKeyExW", "RegSetValueExW LegalNoticeCaption", "RegCloseKey"}));
}

TEST_F(StoreFaultTest, OpensTheNativeWinlogonKeyForSettingValuesOnly) {
    ApplyLogonNotice(u"body", u"title");
    ASSERT_EQ(standin::OpenCalls().size(), 2u);
    for (const standin::OpenCall& open : standin::OpenCalls()) {
        EXPECT_EQ(open.root, HKEY_LOCAL_MACHINE);
        EXPECT_EQ(open.subkey, standin::kWinlogonPath);  // exact spelling, no view flag in the path
        EXPECT_EQ(open.options, 0u);
        EXPECT_EQ(open.access, REGSAM(KEY_SET_VALUE)) << "no read rights and no WOW64 view flag";
    }
    for (const standin::SetCall& set : standin::SetCalls()) {
        EXPECT_EQ(set.reserved, 0u);
        EXPECT_EQ(set.type, DWORD(REG_SZ));
    }
}

TEST_F(StoreFaultTest, NoKeyHandleOutlivesACall) {
    struct Case {
        const char* label;
        void (*fault)();
        int successfulOpens;
    } cases[] = {
        {"no fault", [] {}, 2},
        {"text set fails", [] { standin::FailSet(ERROR_ACCESS_DENIED, 1); }, 2},
        {"every set fails", [] { standin::FailSet(ERROR_ACCESS_DENIED); }, 2},
        {"text open fails", [] { standin::FailOpen(ERROR_ACCESS_DENIED, 1); }, 1},
        {"every open fails", [] { standin::FailOpen(ERROR_FILE_NOT_FOUND); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        standin::Reset();
        c.fault();
        ApplyLogonNotice(u"body", u"title");
        EXPECT_EQ(standin::OpenHandleCount(), 0);
        EXPECT_EQ(standin::CloseCount(), c.successfulOpens) << "one close per open, none for a failed open";
    }
}

TEST_F(StoreFaultTest, OutcomeNamesExactlyTheValuesNotStored) {
    struct Case {
        const char* label;
        void (*fault)();
        unsigned stored;
    } cases[] = {
        {"text open denied", [] { standin::FailOpen(ERROR_ACCESS_DENIED, 1); }, STORED_CAPTION},
        {"caption open denied", [] { standin::FailOpen(ERROR_ACCESS_DENIED, 2); }, STORED_TEXT},
        {"text set fails", [] { standin::FailSet(ERROR_ACCESS_DENIED, 1); }, STORED_CAPTION},
        {"caption set fails", [] { standin::FailSet(ERROR_ACCESS_DENIED, 2); }, STORED_TEXT},
        {"every open denied", [] { standin::FailOpen(ERROR_ACCESS_DENIED); }, STORED_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        c.fault();
        EXPECT_EQ(ApplyLogonNotice(u"body", u"title"), c.stored);
        EXPECT_EQ(standin::WinlogonText(u"LegalNoticeText"), c.stored & STORED_TEXT ? u"body" : u"old text");
        EXPECT_EQ(standin::WinlogonText(u"LegalNoticeCaption"), c.stored & STORED_CAPTION ? u"title" : u"old caption");
        EXPECT_EQ(standin::OpenCalls().size(), 2u) << "the caption is attempted whatever became of the text";
    }
}

TEST_F(StoreFaultTest, MissingKeyIsNeitherCreatedNorWritten) {
    standin::RemoveWinlogonKey();
    EXPECT_EQ(ApplyLogonNotice(u"body", u"title"), unsigned(STORED_NONE));
    EXPECT_EQ(standin::WinlogonKey(), nullptr);
    EXPECT_TRUE(standin::SetCalls().empty());
    EXPECT_EQ(standin::OpenCalls().size(), 2u);
}

}  // namespace
