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

// What a message at either window asks: only a close, and an end of the
// session that goes ahead, end the process; the Restart Manager's is told
// apart by ENDSESSION_CLOSEAPP alone (with a log-off the session ends).
TEST(Lifecycle, WhatAMessageFromOutsideAsks)
{
    using presence::EndRequest;
    struct Row {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        EndRequest asked;
    };
    const Row rows[] = {
        {WM_CLOSE, 0, 0, EndRequest::Close},
        {WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, EndRequest::CloseForUpdate},
        {WM_ENDSESSION, TRUE, static_cast<LPARAM>(ENDSESSION_CLOSEAPP | ENDSESSION_CRITICAL), EndRequest::SessionEnds},
        {WM_ENDSESSION, TRUE, static_cast<LPARAM>(ENDSESSION_CLOSEAPP | ENDSESSION_LOGOFF), EndRequest::SessionEnds},
        {WM_ENDSESSION, TRUE, 0, EndRequest::SessionEnds},
        {WM_ENDSESSION, TRUE, static_cast<LPARAM>(ENDSESSION_LOGOFF), EndRequest::SessionEnds},
        {WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, EndRequest::None},
        {WM_ENDSESSION, FALSE, 0, EndRequest::None},
        {WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, EndRequest::None},
        {WM_SYSCOMMAND, SC_CLOSE, 0, EndRequest::None},  // DefWindowProcW makes it a WM_CLOSE
        {WM_QUIT, 0, 0, EndRequest::None},
        {WM_COMMAND, 105, 0, EndRequest::None},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(presence::endRequestOf(row.message, row.wParam, row.lParam), row.asked)
            << "message " << row.message << " " << row.wParam << " " << row.lParam;
    }
}

}  // namespace
