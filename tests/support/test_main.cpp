#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// A test program must never hang a test run: after this long in one test it
// says which test it was in and leaves with a code of its own.
constexpr std::chrono::seconds kHangLimit{240};
constexpr int kHangExitCode = 86;

std::atomic<bool> g_finished{false};
std::atomic<std::chrono::steady_clock::rep> g_deadline{0};

void restartHangLimit()
{
    g_deadline = (std::chrono::steady_clock::now() + kHangLimit).time_since_epoch().count();
}

// Each test gets the whole limit: a program of many long tests is no hang.
class HangLimitPerTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { restartHangLimit(); }
};

void watchForHang()
{
    while (!g_finished.load()) {
        if (std::chrono::steady_clock::now().time_since_epoch().count() >= g_deadline.load()) {
            const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(stderr, "test program hung in %s.%s; giving up\n",
                         test ? test->test_suite_name() : "(none)", test ? test->name() : "(none)");
            std::fflush(stderr);
            std::_Exit(kHangExitCode);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    restartHangLimit();
    testing::UnitTest::GetInstance()->listeners().Append(new HangLimitPerTest);
    std::thread watchdog(watchForHang);
    const int result = RUN_ALL_TESTS();
    g_finished = true;
    watchdog.join();
    return result;
}
