#include "presence/lifecycle.h"

namespace presence {

const wchar_t* phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Starting:
        return L"starting";
    case Phase::HandingOver:
        return L"handing over";
    case Phase::Connecting:
        return L"connecting";
    case Phase::Running:
        return L"running";
    case Phase::Ending:
        return L"ending";
    case Phase::GivingUp:
        return L"giving up";
    case Phase::Clearing:
        return L"clearing";
    case Phase::PassingOn:
        return L"passing on";
    }
    return L"?";
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
