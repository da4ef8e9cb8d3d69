#pragma once

#include <windows.h>

#include <functional>

namespace utility {

// Waits until handle is signalled (or, without one, for the whole time),
// answering every message sent to this thread's windows meanwhile, so that
// no sender is held. Posted messages stay queued. True when the handle was
// signalled; an abandoned mutex counts, and is then owned by this thread.
// It looks at the queue at least once a slice, even when nothing comes, so
// that Windows never counts the thread as hung; and it ends on time even
// while senders keep sending.
bool waitAnsweringSenders(HANDLE handle, DWORD milliseconds);

// Runs work on a thread of its own and waits for it so, at most milliseconds
// (without a thread, work runs here). False when it did not end in time: it
// is left to run, and keeps alive what it uses itself.
bool runAnsweringSenders(const std::function<void()>& work, DWORD milliseconds);

// Windows counts a GUI thread as not responding once it has not looked at
// its queue (PeekMessage, GetMessage) for 5 s; a second start's offer, sent
// with SMTO_ABORTIFHUNG, then fails at once. A wait for sent messages alone
// does not count as looking (IsHungAppWindow: "not responding if it is not
// waiting for input, is not in startup processing, and has not called
// PeekMessage within the internal timeout period of 5 seconds").
constexpr DWORD kAnsweringSliceMs = 500;

// The system calls of the wait, replaced by tests: Wine never counts a
// waiting thread as hung, and a flood's timing is not a test's to choose.
struct AnsweringCalls {
    decltype(&PeekMessageW) peek = &PeekMessageW;
    decltype(&MsgWaitForMultipleObjects) wait = &MsgWaitForMultipleObjects;
    decltype(&GetTickCount64) clock = &GetTickCount64;
};
void setAnsweringCallsForTest(const AnsweringCalls& calls);

}  // namespace utility
