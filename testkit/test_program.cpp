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

std::unique_ptr<WinlogonGuard> guard;

class WinlogonGuardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::setvbuf(stdout, nullptr, _IONBF, 0);  // nothing lost if the program is killed
        guard = std::make_unique<WinlogonGuard>();
        if (!guard->report.empty()) std::printf("%s\n", Utf8(guard->report).c_str());
        if (!guard->ok) std::exit(2);  // another run is going, or a leftover could not be put back: touch nothing
    }
    void TearDown() override {
        EXPECT_EQ(Utf8(guard->Finish()), "") << "after the tests, the Winlogon key was not put back";
    }
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

// The run cannot go on, for a reason outside the program under test, such as
// a program that Windows will not start: says why in a "could not run: "
// line, which the runner reads, puts the key back, and ends with 2.
[[noreturn]] void CouldNotRun(const std::wstring& why) {
    std::printf("could not run: %s\n", Utf8(why).c_str());
    std::wstring problems = guard ? guard->Finish() : L"";
    if (!problems.empty()) std::printf("the Winlogon key was not put back: %s\n", Utf8(problems).c_str());
    std::_Exit(2);  // the programs it started end with it: each is in a job that ends them
}
