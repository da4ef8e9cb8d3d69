// The single instance and the hand-over: a second start gives its presence
// to the running instance, or runs in its place once that one has ended.
#include "presence/single_instance.h"

#include "common/log.h"
#include "common/unique_handle.h"
#include "presence/orv_discord_manager.h"

#include <algorithm>
#include <string>

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
constexpr UINT kHandOverTimeoutMs = 1000;
constexpr DWORD kHandOverRetryMs = 250;
const char kInitName[] = "OrvDiscordManager::init";

// Gives the running instance this start's presence, the way the front end
// sends one. True when it answered that it will publish it.
bool handOver(const std::wstring& windowClass, const std::wstring& cmd)
{
    HWND running = FindWindowW(windowClass.c_str(), nullptr);
    if (!running) {
        return false;  // between its mutex and its window, or already gone
    }
    std::wstring text = cmd;  // COPYDATASTRUCT wants a mutable buffer
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = text.data();
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(running, WM_COPYDATA, OrvDiscordManager::kPresenceMessage,
                               reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, kHandOverTimeoutMs, &answer) &&
           answer == TRUE;
}

}  // namespace

namespace presence {

bool waitAnsweringSenders(HANDLE handle, DWORD milliseconds)
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    const DWORD count = handle ? 1 : 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD waited = MsgWaitForMultipleObjects(count, handle ? &handle : nullptr, FALSE, left, QS_SENDMESSAGE);
        if (count && (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0)) {
            return true;
        }
        if (waited == WAIT_OBJECT_0 + count) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs what was sent
            continue;
        }
        if (waited == WAIT_FAILED && handle) {
            const DWORD plain = WaitForSingleObject(handle, left);
            return plain == WAIT_OBJECT_0 || plain == WAIT_ABANDONED;
        }
        return false;
    }
}

}  // namespace presence

// True when this start holds the single-instance mutex, at once or after the
// running instance ended without taking the presence; the handle then stays
// open until the process ends. Otherwise the presence went to the running
// instance (or could not), this start has logged it and waited, and ends.
bool OrvDiscordManager::becomeTheInstance(const std::wstring& cmd)
{
    common::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, m_instanceName.c_str()));
    if (mutex && GetLastError() != ERROR_ALREADY_EXISTS) {
        mutex.release();
        return true;
    }
    // Another start holds it. It takes the presence once it runs; until then
    // (its window may not exist yet, it may still connect, or be ending) this
    // start keeps offering it, and runs in its place if it ends.
    if (mutex) {
        const ULONGLONG deadline = GetTickCount64() + m_takeOverPatienceMs;
        bool waitLogged = false;
        for (;;) {
            if (handOver(m_instanceName, cmd)) {
                ORV_LOG(kInitName, L"cmd handed over to the running instance");
                break;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) {
                ORV_LOG(kInitName, L"cmd not handed over: the running instance neither took it nor ended in %d ms",
                        static_cast<int>(m_takeOverPatienceMs));
                break;
            }
            if (!waitLogged) {
                ORV_LOG(kInitName, L"the running instance does not take cmd yet: waiting for it to run or to end");
                waitLogged = true;
            }
            const auto retry = static_cast<DWORD>(std::min<ULONGLONG>(kHandOverRetryMs, deadline - now));
            if (presence::waitAnsweringSenders(mutex.get(), retry)) {
                ORV_LOG(kInitName, L"the running instance has ended: this start runs in its place");
                mutex.release();
                return true;
            }
        }
    }
    ORV_LOG(kInitName, L"progress exist!");
    presence::waitAnsweringSenders(nullptr, kGiveUpDelayMs);
    return false;
}

