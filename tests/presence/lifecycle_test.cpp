// What the IPC window does and answers, in every phase, for every sender:
// the whole table, written out rather than derived.
#include "presence/lifecycle.h"

#include <gtest/gtest.h>

namespace {

using presence::Phase;
using presence::Sender;

struct Row {
    Phase phase;
    Sender sender;
    bool newer;
    bool take, keep, successorWaits;
    LRESULT answer;
};

constexpr Sender F = Sender::FrontEnd;
constexpr Sender S = Sender::SecondStart;

const Row kTable[] = {
    // No IPC window yet, or no more: nothing taken, nothing promised.
    {Phase::Starting, F, false, false, false, false, 0},
    {Phase::Starting, F, true, false, false, false, 0},
    {Phase::Starting, S, false, false, false, false, 0},
    {Phase::Starting, S, true, false, false, false, 0},
    {Phase::HandingOver, F, false, false, false, false, 0},
    {Phase::HandingOver, F, true, false, false, false, 0},
    {Phase::HandingOver, S, false, false, false, false, 0},
    {Phase::HandingOver, S, true, false, false, false, 0},
    {Phase::PassingOn, F, false, false, false, false, 0},
    {Phase::PassingOn, F, true, false, false, false, 0},
    {Phase::PassingOn, S, false, false, false, false, 0},
    {Phase::PassingOn, S, true, false, false, false, 0},
    // Connecting: taken if newest, never promised (the connect may fail).
    {Phase::Connecting, F, false, true, false, false, 0},
    {Phase::Connecting, F, true, true, false, false, 0},
    {Phase::Connecting, S, false, false, false, false, 0},
    {Phase::Connecting, S, true, true, false, false, 0},
    // Running: taken if newest; promised either way (a newer one is shown).
    {Phase::Running, F, false, true, false, false, TRUE},
    {Phase::Running, F, true, true, false, false, TRUE},
    {Phase::Running, S, false, false, false, false, TRUE},
    {Phase::Running, S, true, true, false, false, TRUE},
    // On the way out: the front end's kept to pass on, a second start noted.
    {Phase::Ending, F, false, false, true, false, 0},
    {Phase::Ending, F, true, false, true, false, 0},
    {Phase::Ending, S, false, false, false, true, 0},
    {Phase::Ending, S, true, false, false, true, 0},
    {Phase::GivingUp, F, false, false, true, false, 0},
    {Phase::GivingUp, F, true, false, true, false, 0},
    {Phase::GivingUp, S, false, false, false, true, 0},
    {Phase::GivingUp, S, true, false, false, true, 0},
    {Phase::Clearing, F, false, false, true, false, 0},
    {Phase::Clearing, F, true, false, true, false, 0},
    {Phase::Clearing, S, false, false, false, true, 0},
    {Phase::Clearing, S, true, false, false, true, 0},
};

TEST(Lifecycle, TheIpcWindowsAnswerInEveryPhaseForEverySender)
{
    static_assert(std::size(kTable) == 8 * 2 * 2, "every phase, sender and age");
    for (const Row& row : kTable) {
        SCOPED_TRACE(testing::Message() << presence::phaseName(row.phase) << (row.sender == S ? " offer" : " front end")
                                        << (row.newer ? " newer" : " older"));
        const presence::Judgement judged = presence::judge(row.phase, row.sender, row.newer);
        EXPECT_EQ(judged.take, row.take);
        EXPECT_EQ(judged.keep, row.keep);
        EXPECT_EQ(judged.successorWaits, row.successorWaits);
        EXPECT_EQ(judged.answer, row.answer);
    }
}

}  // namespace
