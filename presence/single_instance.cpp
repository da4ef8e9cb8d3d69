// The single instance and the hand-over: a second start gives its presence
// to the running instance, or runs in its place once that one has ended.
#include "presence/single_instance.h"

#include "common/local_time.h"
#include "common/log.h"
#include "common/unique_handle.h"
#include "presence/orv_discord_manager.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
constexpr UINT kHandOverTimeoutMs = 1000;
constexpr DWORD kHandOverRetryMs = 250;
// How long the way out waits for the start that runs in its place to run:
// its wait for the mutex, a connect of 3 s, and room for a slow machine.
constexpr ULONGLONG kPassOnPatienceMs = 8000;
constexpr size_t kStampUnits = sizeof(presence::Stamp) / sizeof(wchar_t);
const char kInitName[] = "OrvDiscordManager::init";
const char kPassOnName[] = "OrvDiscordManager::passOn";

presence::Stamp fromFileTime(const FILETIME& time)
{
    return (static_cast<presence::Stamp>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Gives the running instance this start's presence with its stamp. True when
// it answered that it will publish it, or already holds a newer one.
bool handOver(const std::wstring& windowClass, const std::wstring& offer)
{
    HWND running = FindWindowW(windowClass.c_str(), nullptr);
    if (!running) {
        return false;  // between its mutex and its window, or already gone
    }
    std::wstring text = offer;  // COPYDATASTRUCT wants a mutable buffer
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = text.data();
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(running, WM_COPYDATA, OrvDiscordManager::kOfferMessage,
                               reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, kHandOverTimeoutMs, &answer) &&
           answer == TRUE;
}

enum class MutexFound { Created, Exists, Failed };

// The single-instance mutex: created and owned by this start, or another
// instance's, opened to wait for (mutex stays empty when it cannot be).
// CreateMutexW "requests the MUTEX_ALL_ACCESS access right" to a mutex that
// exists; where its DACL grants less (an instance that runs elevated made
// it, and this start does not), "the function will fail with
// ERROR_ACCESS_DENIED and the caller should use the OpenMutex function".
// "Only the SYNCHRONIZE access right is required to use a mutex" (OpenMutexW):
// a wait on such a handle takes the mutex once that instance ends, and
// ReleaseMutex asks for no right (MUTEX_MODIFY_STATE is "reserved for future
// use": Synchronization Object Security and Access Rights).
MutexFound findTheMutex(const std::wstring& name, OrvDiscordManager::OpenMutexFunction open,
                        common::UniqueHandle& mutex)
{
    for (int attempt = 0;; ++attempt) {
        mutex.reset(CreateMutexW(nullptr, TRUE, name.c_str()));
        const DWORD error = GetLastError();
        if (mutex) {
            return error == ERROR_ALREADY_EXISTS ? MutexFound::Exists : MutexFound::Created;
        }
        if (error != ERROR_ACCESS_DENIED) {
            ORV_LOG(kInitName, L"the single-instance mutex cannot be made (error %d)", static_cast<int>(error));
            return MutexFound::Failed;
        }
        mutex.reset(open(SYNCHRONIZE, FALSE, name.c_str()));
        const DWORD openError = GetLastError();
        if (mutex) {
            return MutexFound::Exists;
        }
        if (openError != ERROR_FILE_NOT_FOUND || attempt > 0) {
            ORV_LOG(kInitName,
                    L"the running instance runs with other rights (as administrator?): its mutex cannot be opened "
                    L"(error %d), so this start only offers cmd and cannot run in its place once it ends",
                    static_cast<int>(openError));
            return MutexFound::Exists;
        }
        // The running instance ended between the two calls: once more.
    }
}

}  // namespace

namespace presence {

void dispatchPostedEndings(HWND window)
{
    if (!window) {
        return;
    }
    // Bounded: a sender that posts without end holds start-up no longer.
    constexpr int kMost = 64;
    MSG message;
    for (int i = 0; i < kMost && PeekMessageW(&message, window, WM_CLOSE, WM_CLOSE, PM_REMOVE); ++i) {
        DispatchMessageW(&message);
    }
    for (int i = 0; i < kMost && PeekMessageW(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE); ++i) {
        DispatchMessageW(&message);
    }
}

Stamp now()
{
    ULONGLONG time = 0;
    QueryUnbiasedInterruptTime(&time);
    return time;
}

Stamp processCreation()
{
    // The creation time is given on the system clock, which can be set back
    // or forward at any moment: only its distance from now is used, read
    // first thing, before the clock is likely to have moved.
    const Stamp monotonic = now();
    const FILETIME system = common::preciseSystemTime();
    FILETIME created = {};
    FILETIME unused[3] = {};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &unused[0], &unused[1], &unused[2])) {
        return monotonic;
    }
    const Stamp systemNow = fromFileTime(system);
    const Stamp createdAt = fromFileTime(created);
    const Stamp age = systemNow > createdAt ? systemNow - createdAt : 0;
    return monotonic - std::min(age, monotonic);
}

std::wstring makeOffer(Stamp stamp, std::wstring_view text)
{
    std::wstring offer(kStampUnits, L'\0');
    std::memcpy(offer.data(), &stamp, sizeof stamp);
    offer.append(text);
    return offer;
}

bool readOffer(std::wstring_view payload, Stamp& stamp, std::wstring_view& text)
{
    if (payload.size() < kStampUnits) {
        return false;
    }
    std::memcpy(&stamp, payload.data(), sizeof stamp);
    stamp = std::min(stamp, now());
    text = payload.substr(kStampUnits);
    return true;
}

}  // namespace presence

// True when this start holds the single-instance mutex, at once or after the
// running instance ended without taking the presence; the handle then stays
// open until the process ends. Otherwise the presence went to the running
// instance (or could not), this start has logged it and waited, and ends.
bool OrvDiscordManager::becomeTheInstance(const std::wstring& cmd, presence::Stamp stamp)
{
    common::UniqueHandle mutex;
    const MutexFound found = findTheMutex(m_instanceName, m_openMutex, mutex);
    if (found == MutexFound::Created) {
        m_mutex = mutex.release();
        return true;
    }
    // Another start holds it. It takes the presence once it runs; until then
    // (its window may not exist yet, it may still connect, or be ending) this
    // start keeps offering it, and runs in its place if it ends (known only
    // with its mutex opened).
    if (found == MutexFound::Exists) {
        const ULONGLONG deadline = GetTickCount64() + m_takeOverPatienceMs;
        const std::wstring offer = presence::makeOffer(stamp, cmd);
        bool waitLogged = false;
        for (;;) {
            presence::dispatchPostedEndings(m_mainWindow);
            if (m_phase == Phase::Ending) {
                ORV_LOG_ENDING(kInitName, L"told to end while handing cmd over");
                return false;
            }
            if (handOver(m_instanceName, offer)) {
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
                m_mutex = mutex.release();
                return true;
            }
        }
    }
    ORV_LOG_ENDING(kInitName, L"progress exist!");
    presence::waitAnsweringSenders(nullptr, kGiveUpDelayMs);
    return false;
}


// The last thing before the process ends. A second start waits for the mutex
// while this one ends; a presence the front end sent meanwhile came here,
// and would be lost. The start is let run now, and given that presence with
// its stamp as its own offers are: it keeps it only if nothing newer came.
void OrvDiscordManager::passOn()
{
    if (m_heldWhileEnding.empty() || !m_successorWaits) {
        return;
    }
    m_ipc.destroy();  // so that the start's IPC window is the one found
    if (m_ownsCore) {
        // Done with Discord (the clear is behind): the connection closes
        // before the start connects.
        delete m_core;
        m_core = nullptr;
        m_ownsCore = false;
    }
    if (m_mutex) {
        ReleaseMutex(m_mutex);
        CloseHandle(m_mutex);
        m_mutex = nullptr;
    }
    const std::wstring offer = presence::makeOffer(m_heldStamp, m_heldWhileEnding);
    const ULONGLONG deadline = GetTickCount64() + kPassOnPatienceMs;
    for (;;) {
        if (handOver(m_instanceName, offer)) {
            ORV_LOG(kPassOnName, L"presence passed on to the instance that follows");
            return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            ORV_LOG(kPassOnName, L"presence not passed on: no instance ran within %d ms",
                    static_cast<int>(kPassOnPatienceMs));
            return;
        }
        presence::waitAnsweringSenders(nullptr, static_cast<DWORD>(std::min<ULONGLONG>(kHandOverRetryMs, deadline - now)));
    }
}
