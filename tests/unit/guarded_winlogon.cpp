// Every Windows-side test program guards the Winlogon key for its whole run,
// so that what its tests change is put back even if it is killed midway.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "winlogon_guard.h"

namespace {

class WinlogonGuardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::setvbuf(stdout, nullptr, _IONBF, 0);  // nothing lost if the program is killed
        guard = std::make_unique<WinlogonGuard>();
        if (!guard->report.empty()) std::printf("%ls\n", guard->report.c_str());
        ASSERT_TRUE(guard->ok) << "the Winlogon key could not be guarded, so no test runs";
    }
    void TearDown() override {
        std::wstring problems = guard->Finish();
        EXPECT_TRUE(problems.empty()) << "after the tests, the Winlogon key was not put back: "
                                      << std::string(problems.begin(), problems.end());
    }

private:
    std::unique_ptr<WinlogonGuard> guard;
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new WinlogonGuardEnvironment);

}  // namespace
