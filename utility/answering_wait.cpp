// The waits of start-up and of the way out: bounded, and never a sender held.
#include "utility/answering_wait.h"

#include "handles/unique_handle.h"

#include <algorithm>
#include <memory>
#include <thread>

namespace {

utility::AnsweringCalls g_calls;

}  // namespace

namespace utility {

void setAnsweringCallsForTest(const AnsweringCalls& calls)
{
    g_calls = calls;
}

// PeekMessage "dispatches pending, nonqueued messages, that is, messages
// sent to windows owned by the calling thread using the SendMessage,
// SendMessageCallback, SendMessageTimeout, or SendNotifyMessage function":
// every one that waits, returning once none does. MsgWaitForMultipleObjects
// with QS_SENDMESSAGE runs none; it only wakes for one sent since the queue
// was last looked at. So the wait looks first, then whenever something is
// sent and at least once a slice; once its time is up it looks once more,
// answering what was sent by then, and ends however much keeps coming. (One
// look lasts while what it answers is sent again before it is done, as many
// senders at once can keep it: no wait on this thread can bound that.)
bool waitAnsweringSenders(HANDLE handle, DWORD milliseconds)
{
    const AnsweringCalls calls = g_calls;
    const ULONGLONG deadline = calls.clock() + milliseconds;
    const DWORD count = handle ? 1 : 0;
    for (;;) {
        MSG message;
        calls.peek(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const ULONGLONG now = calls.clock();
        const DWORD slice =
            now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kAnsweringSliceMs));
        const DWORD waited = calls.wait(count, handle ? &handle : nullptr, FALSE, slice, QS_SENDMESSAGE);
        if (count && (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0)) {
            return true;
        }
        if (waited == WAIT_FAILED && !handle) {
            Sleep(slice);  // not expected: the time passes all the same, a slice at a time
        } else if (waited == WAIT_FAILED) {
            const DWORD plain = WaitForSingleObject(handle, slice);  // not expected: the handle alone
            if (plain == WAIT_OBJECT_0 || plain == WAIT_ABANDONED) {
                return true;
            }
            if (plain == WAIT_FAILED) {
                Sleep(slice);  // a handle that cannot be waited on: no spinning until the deadline
            }
        }
        if (now >= deadline) {
            return false;
        }
    }
}

bool runAnsweringSenders(const std::function<void()>& work, DWORD milliseconds)
{
    auto done = std::make_shared<handles::UniqueHandle>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread thread;
    if (*done) {
        try {
            thread = std::thread([done, work] {
                work();
                SetEvent(done->get());
            });
        } catch (...) {
            // no thread: the work runs here
        }
    }
    if (!thread.joinable()) {
        work();
        return true;
    }
    if (!waitAnsweringSenders(done->get(), milliseconds)) {
        thread.detach();
        return false;
    }
    thread.join();
    return true;
}

}  // namespace utility
