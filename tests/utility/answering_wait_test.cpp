// The waits that answer senders, on a clock of their own: Wine never counts a
// waiting thread as hung, and a flood's timing is not a test's to choose.
#include "utility/answering_wait.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Simulated {
    ULONGLONG now = 1000;
    bool flooded = false;       // a sent message waits at every look
    int waitsLeft = 100000;     // then the flood ends, so that a wait without a bound ends too
    std::vector<ULONGLONG> looks;  // when the queue was looked at
};
Simulated* g_simulated = nullptr;

BOOL WINAPI simulatedPeek(LPMSG, HWND, UINT, UINT, UINT)
{
    g_simulated->looks.push_back(g_simulated->now);
    return FALSE;
}

DWORD WINAPI simulatedWait(DWORD count, const HANDLE*, BOOL, DWORD milliseconds, DWORD)
{
    if (g_simulated->flooded && --g_simulated->waitsLeft > 0) {
        ++g_simulated->now;  // one sent message a millisecond
        return WAIT_OBJECT_0 + count;
    }
    g_simulated->now += milliseconds;
    return WAIT_TIMEOUT;
}

ULONGLONG WINAPI simulatedClock()
{
    return g_simulated->now;
}

class AnsweringWait : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_simulated = &m_simulated;
        utility::setAnsweringCallsForTest({&simulatedPeek, &simulatedWait, &simulatedClock});
    }
    void TearDown() override { utility::setAnsweringCallsForTest({}); }

    Simulated m_simulated;
};

TEST_F(AnsweringWait, LooksAtTheQueueAtLeastOnceASliceWithNothingArriving)
{
    const ULONGLONG start = m_simulated.now;
    EXPECT_FALSE(utility::waitAnsweringSenders(nullptr, 7000));
    EXPECT_EQ(m_simulated.now, start + 7000);
    ASSERT_FALSE(m_simulated.looks.empty());
    EXPECT_EQ(m_simulated.looks.front(), start);
    EXPECT_EQ(m_simulated.looks.back(), start + 7000) << "what was sent by the end is answered";
    for (size_t i = 1; i < m_simulated.looks.size(); ++i) {
        EXPECT_LE(m_simulated.looks[i] - m_simulated.looks[i - 1], utility::kAnsweringSliceMs) << "look " << i;
    }
}

TEST_F(AnsweringWait, EndsOnTimeWhileSendersKeepSending)
{
    m_simulated.flooded = true;
    const ULONGLONG deadline = m_simulated.now + 3000;
    EXPECT_FALSE(utility::waitAnsweringSenders(nullptr, 3000));
    int late = 0;
    for (ULONGLONG look : m_simulated.looks) {
        late += look >= deadline;
    }
    EXPECT_LE(late, 1) << "looks at the queue once its time was up";
    EXPECT_GE(m_simulated.looks.size(), 3000u) << "every message sent in time is answered";
}

}  // namespace
