#include "presence/lifecycle.h"

#include <iterator>

namespace presence {

const wchar_t* phaseName(Phase phase)
{
    static const wchar_t* const kNames[] = {L"starting", L"handing over", L"connecting", L"running",
                                            L"ending",   L"giving up",    L"clearing",   L"passing on"};
    static_assert(std::size(kNames) == static_cast<size_t>(Phase::PassingOn) + 1, "a name for every phase");
    return kNames[static_cast<int>(phase)];
}

Judgement judge(Phase phase, Sender sender, bool newer)
{
    const bool offer = sender == Sender::SecondStart;
    switch (phase) {
    case Phase::Connecting:
        return {!offer || newer, false, false, 0};
    case Phase::Running:
        return {!offer || newer, false, false, TRUE};
    case Phase::Ending:
    case Phase::GivingUp:
    case Phase::Clearing:
        return {false, !offer, offer, 0};
    default:
        return {};  // no IPC window in these phases
    }
}

}  // namespace presence
