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

// WM_ENDSESSION: "If wParam is TRUE, the application must shut down. Any
// data should be saved automatically without prompting the user"; with
// ENDSESSION_CLOSEAPP in lParam the Restart Manager asks for this one
// program to close ("Guidelines for Applications", Restart Manager), and the
// session goes on. wParam FALSE: the end was called off.
EndRequest endRequestOf(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        return EndRequest::Close;
    case WM_ENDSESSION:
        if (!wParam) {
            return EndRequest::None;
        }
        // A log-off or a critical end that also names the program is the
        // end of the session all the same.
        if (static_cast<ULONG_PTR>(lParam) & (ENDSESSION_LOGOFF | ENDSESSION_CRITICAL)) {
            return EndRequest::SessionEnds;
        }
        return (static_cast<ULONG_PTR>(lParam) & ENDSESSION_CLOSEAPP) ? EndRequest::CloseForUpdate
                                                                       : EndRequest::SessionEnds;
    default:
        return EndRequest::None;
    }
}

}  // namespace presence
