#pragma once

#include <windows.h>

namespace presence {

// Waits until handle is signalled (or, without one, for the whole time),
// answering every message sent to this thread's windows meanwhile, so that
// no sender is held. Posted messages stay queued. True when the handle was
// signalled; an abandoned mutex counts, and is then owned by this thread.
bool waitAnsweringSenders(HANDLE handle, DWORD milliseconds);

}  // namespace presence
