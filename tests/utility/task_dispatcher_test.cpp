#include "utility/task_dispatcher.h"
#include "support/message_pump.h"

#include <gtest/gtest.h>

namespace {

// Counts its runs and its release into the test's variables.
class CountingTask : public Runable {
public:
    CountingTask(int& runs, int& releases) : m_runs(runs), m_releases(releases) {}
    void run() override { ++m_runs; }
    void release() override
    {
        ++m_releases;
        Runable::release();
    }

private:
    int& m_runs;
    int& m_releases;
};

UINT_PTR WINAPI failingSetTimer(HWND, UINT_PTR, UINT, TIMERPROC)
{
    return 0;
}

TEST(TaskDispatcher, TimerIdsStartAtOneGrowByOneAndAreUsedUpByFailures)
{
    MainThreadDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.createWindow());
    int runs = 0;
    int releases = 0;
    EXPECT_EQ(dispatcher.addTimer(60000, new CountingTask(runs, releases)), 1u);
    EXPECT_EQ(dispatcher.addTimer(60000, new CountingTask(runs, releases)), 2u);

    dispatcher.setTimerFunction(&failingSetTimer);
    CountingTask refused(runs, releases);
    EXPECT_EQ(dispatcher.addTimer(60000, &refused), 0u);
    dispatcher.setTimerFunction(&SetTimer);
    EXPECT_EQ(dispatcher.addTimer(60000, new CountingTask(runs, releases)), 4u);
    EXPECT_EQ(dispatcher.lastTimerId(), 4);

    // A refused task stays the caller's: the dispatcher never runs it.
    SendMessageW(dispatcher.window(), WM_TIMER, 3, 0);
    EXPECT_EQ(runs, 0);
}

TEST(TaskDispatcher, PeriodicTaskRunsOncePerTickIndefinitelyAndUnknownIdsRunNothing)
{
    MainThreadDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.createWindow());
    int runs = 0;
    int releases = 0;
    const uint32_t id = dispatcher.addTimer(60000, new CountingTask(runs, releases));
    ASSERT_NE(id, 0u);
    for (int tick = 1; tick <= 3; ++tick) {
        EXPECT_EQ(SendMessageW(dispatcher.window(), WM_TIMER, id, 0), 0);
        EXPECT_EQ(runs, tick);
    }
    EXPECT_EQ(SendMessageW(dispatcher.window(), WM_TIMER, 77, 0), 0);
    EXPECT_EQ(runs, 3);

    // A real timer keeps firing.
    int timed = 0;
    ASSERT_NE(dispatcher.addTimer(10, new CountingTask(timed, releases)), 0u);
    EXPECT_TRUE(testsupport::pumpUntil([&] { return timed >= 5; }, 10000));
    EXPECT_EQ(releases, 0);
}

TEST(TaskDispatcher, PostedTasksFollowTheCountRuleAndAreAlwaysReleased)
{
    MainThreadDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.createWindow());
    int runs = 0;
    int releases = 0;

    // A key that is not in the table: released, not run.
    ASSERT_TRUE(dispatcher.postTask(5, new CountingTask(runs, releases)));
    testsupport::pumpUntil([&] { return releases == 1; }, 5000);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(releases, 1);

    // Count 0 allows one run; the count then is -1 and allows none.
    dispatcher.setRunLimit(7, 0);
    ASSERT_TRUE(dispatcher.postTask(7, new CountingTask(runs, releases)));
    ASSERT_TRUE(dispatcher.postTask(7, new CountingTask(runs, releases)));
    testsupport::pumpUntil([&] { return releases == 3; }, 5000);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(releases, 3);
}

TEST(TaskDispatcher, ForeignRunTaskMessagesAreIgnoredUntouched)
{
    MainThreadDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.createWindow());
    dispatcher.setRunLimit(1, 100);
    int runs = 0;
    int releases = 0;
    CountingTask notPosted(runs, releases);
    EXPECT_EQ(SendMessageW(dispatcher.window(), MainThreadDispatcher::kRunTaskMessage, 1,
                           reinterpret_cast<LPARAM>(&notPosted)),
              0);
    EXPECT_EQ(SendMessageW(dispatcher.window(), MainThreadDispatcher::kRunTaskMessage, 1,
                           static_cast<LPARAM>(0xDEADBEEF)),
              0);
    EXPECT_EQ(SendMessageW(dispatcher.window(), MainThreadDispatcher::kRunTaskMessage, 1, 0), 0);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(releases, 0);

    // A task is released once: a replay of its message finds nothing.
    auto* posted = new CountingTask(runs, releases);
    ASSERT_TRUE(dispatcher.postTask(1, posted));
    testsupport::pumpUntil([&] { return releases == 1; }, 5000);
    EXPECT_EQ(SendMessageW(dispatcher.window(), MainThreadDispatcher::kRunTaskMessage, 1,
                           reinterpret_cast<LPARAM>(posted)),
              0);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(releases, 1);
}

TEST(TaskDispatcher, OtherMessagesGetTheDefaultAnswer)
{
    MainThreadDispatcher dispatcher;
    ASSERT_TRUE(dispatcher.createWindow());
    SetWindowTextW(dispatcher.window(), L"abc");
    EXPECT_EQ(SendMessageW(dispatcher.window(), WM_GETTEXTLENGTH, 0, 0), 3);
    EXPECT_EQ(SendMessageW(dispatcher.window(), WM_USER + 5, 1, 2), 0);
}

TEST(TaskDispatcher, SingletonIsCreatedOnceAndTaskTimerRefusesBadArgumentsWithoutUsingAnId)
{
    MainThreadDispatcher::createInstance();
    MainThreadDispatcher* first = MainThreadDispatcher::instance();
    ASSERT_NE(first, nullptr);
    const HWND window = first->window();
    MainThreadDispatcher::createInstance();
    EXPECT_EQ(MainThreadDispatcher::instance(), first);
    EXPECT_EQ(first->window(), window);

    int runs = 0;
    int releases = 0;
    TaskTimer timer;
    CountingTask task(runs, releases);
    const int32_t before = first->lastTimerId();
    EXPECT_FALSE(timer.start(0, &task));
    EXPECT_FALSE(timer.start(1000, nullptr));
    EXPECT_EQ(first->lastTimerId(), before);
    EXPECT_EQ(timer.id(), 0u);

    EXPECT_TRUE(timer.start(60000, new CountingTask(runs, releases)));
    EXPECT_EQ(timer.id(), static_cast<uint32_t>(before + 1));
    SendMessageW(window, WM_TIMER, timer.id(), 0);
    EXPECT_EQ(runs, 1);

    first->setTimerFunction(&failingSetTimer);
    TaskTimer failed;
    EXPECT_FALSE(failed.start(1000, &task));
    EXPECT_EQ(failed.id(), 0u);
    first->setTimerFunction(&SetTimer);
}

}  // namespace
