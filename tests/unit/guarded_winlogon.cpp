// Every Windows-side test program guards the Winlogon key for its whole run,
// so that what its tests change is put back even if it is killed midway, and
// says its results in one line that run-tests.cmd's runner counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "windows_helpers.h"
#include "winlogon_guard.h"

namespace {

class WinlogonGuardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::setvbuf(stdout, nullptr, _IONBF, 0);  // nothing lost if the program is killed
        guard = std::make_unique<WinlogonGuard>();
        if (!guard->report.empty()) std::printf("%s\n", Utf8(guard->report).c_str());
        if (!guard->ok) std::exit(2);  // another run is going, or a leftover could not be put back: touch nothing
    }
    void TearDown() override {
        std::wstring problems;
        EXPECT_TRUE(guard->Finish(&problems))
            << "after the tests, the Winlogon key was not put back: " << Utf8(problems);
    }

private:
    std::unique_ptr<WinlogonGuard> guard;
};

// "results: P passed, F failed, S skipped", the line the runner reads. A
// failure outside any test (the environment's) counts as one.
class ResultLine : public ::testing::EmptyTestEventListener {
    void OnTestProgramEnd(const ::testing::UnitTest& run) override {
        int failed = run.failed_test_count() + (run.ad_hoc_test_result().Failed() ? 1 : 0);
        std::printf("results: %d passed, %d failed, %d skipped\n", run.successful_test_count(), failed,
                    run.skipped_test_count());
    }
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new WinlogonGuardEnvironment);
const bool listening = (::testing::UnitTest::GetInstance()->listeners().Append(new ResultLine), true);

}  // namespace
