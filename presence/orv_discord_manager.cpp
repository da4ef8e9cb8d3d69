#include "presence/orv_discord_manager.h"

#include "common/log.h"
#include "common/unique_handle.h"
#include "utility/ustring.h"

#include <algorithm>
#include <memory>
#include <thread>

#ifndef ORVPRESD_DISCORD_APPLICATION_ID
#error "ORVPRESD_DISCORD_APPLICATION_ID must name the Discord application"
#endif

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
constexpr UINT kHandOverTimeoutMs = 1000;
constexpr DWORD kHandOverRetryMs = 250;
// The SDK ends its connect within 3 s; this bound only guards against an SDK
// that does not.
constexpr DWORD kConnectPatienceMs = 15000;
// Far beyond any presence (three texts of 128 bytes): a larger payload is
// refused before it is looked at, so that one message costs little.
constexpr DWORD kMaxPresenceBytes = 1024 * 1024;
// A log record keeps 512 units of its message; no more of a payload is worth
// copying for it.
constexpr size_t kLoggedUnits = 1024;
const char kWatchdogName[] = "OrvDiscordManager::init::<lambda_1>::operator ()";
const char kInitName[] = "OrvDiscordManager::init";
const char kSdkLogName[] = "discord::LogHook";

const wchar_t* levelName(EDiscordLogLevel level)
{
    switch (level) {
    case DiscordLogLevel_Error:
        return L"error";
    case DiscordLogLevel_Warn:
        return L"warn";
    case DiscordLogLevel_Info:
        return L"info";
    default:
        return L"debug";
    }
}

// The SDK's diagnostics, in the daemon's log. They quote what the Discord
// side sent, so they are escaped like any text from outside.
void logSdkMessage(EDiscordLogLevel level, const char* message)
{
    const std::wstring text = utility::ustring::escapeForLog(utility::ustring::fromUtf8(message), kLoggedUnits);
    ORV_LOG(kSdkLogName, L"sdk %s: %s", levelName(level), text.c_str());
}

// Waits until handle is signalled (or, without one, for the whole time),
// answering every message sent to this thread's windows meanwhile, so that
// no sender is held. Posted messages stay queued. True when the handle was
// signalled; an abandoned mutex counts, and is then owned by this thread.
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

bool OrvDiscordManager::init(const wchar_t* commandLine)
{
    const std::wstring cmd = commandLine ? commandLine : L"";
    ORV_LOG(kInitName, L"\r\n\r\n***** discord init ******");
    std::wstring scratch;
    ORV_LOG(kInitName, L"cmd:%s", utility::ustring::loggable(cmd, scratch));
    // Every wait before the process ends answers sent messages: a front end
    // that sends a presence then is never held (the presence may be dropped).
    if (cmd.empty()) {
        ORV_LOG(kInitName, L"no cmd");
        waitAnsweringSenders(nullptr, kGiveUpDelayMs);
        return false;
    }
    if (!becomeTheInstance(cmd)) {
        return false;
    }

    m_phase = Phase::Connecting;
    m_ipc.create(m_instanceName, this);
    if (!connectCore()) {
        giveUp();
        return false;
    }
    ORV_LOG(kInitName, L"init sucess");
    m_phase = Phase::Running;

    // A presence sent while connecting is newer than the command line's.
    if (!m_presenceReceived) {
        parseCmd(cmd);
    }
    update();

    m_timer.start(kWatchdogPeriodMs, makeRunable([this] { checkLiveness(); }));
    return true;
}

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
            if (waitAnsweringSenders(mutex.get(), static_cast<DWORD>(std::min<ULONGLONG>(kHandOverRetryMs, deadline - now)))) {
                ORV_LOG(kInitName, L"the running instance has ended: this start runs in its place");
                mutex.release();
                return true;
            }
        }
    }
    ORV_LOG(kInitName, L"progress exist!");
    waitAnsweringSenders(nullptr, kGiveUpDelayMs);
    return false;
}

// Connecting waits seconds for a Discord that does not answer; it runs on a
// thread of its own while this one answers the IPC window. The thread keeps
// what it shares alive itself, so that a connect that overruns its bound can
// be left behind.
bool OrvDiscordManager::connectCore()
{
    struct Connecting {
        discord::Core* core = nullptr;
        discord::Result result = discord::Result::InternalError;
        common::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    };
    auto shared = std::make_shared<Connecting>();
    auto connect = [shared] {
        shared->result = discord::Core::Create(ORVPRESD_DISCORD_APPLICATION_ID, DiscordCreateFlags_NoRequireDiscord,
                                               &shared->core, &logSdkMessage);
    };
    std::thread connecting;
    if (shared->done) {
        try {
            connecting = std::thread([shared, connect] {
                connect();
                SetEvent(shared->done.get());
            });
        } catch (...) {
            // no thread: connect here, as before
        }
    }
    if (!connecting.joinable()) {
        connect();
    } else if (waitAnsweringSenders(shared->done.get(), kConnectPatienceMs)) {
        connecting.join();
    } else {
        connecting.detach();  // its core, if one ever comes, goes with the process
        ORV_LOG(kInitName, L"Discord's connect did not end within %d ms", static_cast<int>(kConnectPatienceMs));
        ORV_LOG(kInitName, L"init error %d", static_cast<int>(discord::Result::ServiceUnavailable));
        return false;
    }
    m_core = shared->core;
    if (!m_core) {
        ORV_LOG(kInitName, L"init error %d", static_cast<int>(shared->result));
        return false;
    }
    m_core->SetLogHook(DiscordLogLevel_Info, &logSdkMessage);
    return true;
}

// A start-up that failed after taking the mutex: no presence is taken any
// more (a second start then waits for this process to end and runs itself).
void OrvDiscordManager::giveUp()
{
    m_phase = Phase::Ending;
    waitAnsweringSenders(nullptr, kGiveUpDelayMs);
}

void OrvDiscordManager::quit()
{
    m_phase = Phase::Ending;
    PostQuitMessage(0);
}

void OrvDiscordManager::checkLiveness()
{
    if (!m_frontEnd.isRunning()) {
        ORV_LOG(kWatchdogName, L"orvhost not exist");
        quit();
        return;
    }
    const discord::Result result = m_core ? m_core->RunCallbacks() : discord::Result::NotRunning;
    if (result != discord::Result::Ok) {
        ORV_LOG(kWatchdogName, L"dicord core not ok %d", static_cast<int>(result));
        quit();
    }
}

LRESULT OrvDiscordManager::onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam)
{
    ORV_LOG("OrvDiscordManager::onHandleWindowIPC", L"onHandleWindowIPC, msg = %d", static_cast<int>(message));
    if (message != WM_COPYDATA) {
        return 0;
    }
    // Read where the sender put it, never copied whole: the work is one pass
    // over at most kMaxPresenceBytes.
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data && data->cbData > kMaxPresenceBytes) {
        ORV_LOG("OrvDiscordManager::onHandleWindowIPC", L"onCopyData msg = %d, %d bytes: too large, ignored",
                static_cast<int>(wParam), static_cast<int>(data->cbData));
        return 0;
    }
    std::wstring_view text;
    if (data && data->lpData) {
        text = std::wstring_view(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    }
    // Written escaped: a payload's line breaks must not start records of its own.
    const std::wstring logged = utility::ustring::escapeForLog(text, kLoggedUnits);
    ORV_LOG("OrvDiscordManager::onHandleWindowIPC", L"onCopyData msg = %d, data = %s", static_cast<int>(wParam),
            logged.c_str());
    if (wParam != kPresenceMessage || m_phase == Phase::Ending) {
        return 0;
    }
    m_presenceReceived = true;
    parseCmd(text);
    update();
    return m_phase == Phase::Running ? TRUE : 0;
}
