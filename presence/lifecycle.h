#pragma once

#include <windows.h>

namespace presence {

// The daemon's phases, in the order it goes through them (skipping some):
// none comes back once left. The table of what moves it is in docs/lifecycle.md.
enum class Phase {
    Starting,     // reads cmd, looks for the single-instance mutex
    HandingOver,  // another instance holds it: cmd is offered to it until it takes it or ends
    Connecting,   // the mutex is this process's: the IPC window, then the connect
    Running,      // published, the watchdog scheduled
    Ending,       // told to end, or Discord lost: the message loop or the start-up ends
    GivingUp,     // a start that does not run: senders answered for a while, nothing taken
    Clearing,     // after the message loop: what Discord shows is cleared
    PassingOn,    // the window, the connection and the mutex go; a kept presence goes to the start that waits
};

const wchar_t* phaseName(Phase phase);

// What came to the IPC window: the front end's presence (new as it arrives),
// or a second start's offer, newer or not than the presence held.
enum class Sender { FrontEnd, SecondStart };

struct Judgement {
    bool take = false;            // it becomes the presence, published once connected
    bool keep = false;            // kept for a start that runs in this one's place
    bool successorWaits = false;  // a second start waits to run in this one's place
    LRESULT answer = 0;           // TRUE: it will be published, or a newer one has been
};

// How the IPC window answers in each phase. While connecting a presence is
// taken but nothing promised (the connect may fail); while ending none is
// published, and the front end's is kept to pass on. 0 makes a second start
// offer again, and run in this one's place once it ends.
Judgement judge(Phase phase, Sender sender, bool newer);

// What a message from outside asks of the daemon, at either of its windows:
// a close (WM_CLOSE, which SC_CLOSE and taskkill send), a close for an
// update or a restart of applications (the Restart Manager's WM_ENDSESSION
// with ENDSESSION_CLOSEAPP), or the end of the Windows session.
enum class EndRequest { None, Close, CloseForUpdate, SessionEnds };

EndRequest endRequestOf(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace presence
