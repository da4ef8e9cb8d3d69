#include "presence/orv_discord_manager.h"

#include "common/log.h"
#include "common/unique_handle.h"
#include "presence/single_instance.h"
#include "utility/ustring.h"

#include <algorithm>
#include <memory>
#include <thread>

#ifndef ORVPRESD_DISCORD_APPLICATION_ID
#error "ORVPRESD_DISCORD_APPLICATION_ID must name the Discord application"
#endif

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
// How long the way out waits for Discord to confirm the clear, once the
// SDK's pace lets it go: one frame every 4.1 s, only the newest waiting. So
// the frame before the clear leaves at most one step after the last update,
// and the clear one step later.
constexpr DWORD kClearPatienceMs = 1000;
constexpr ULONGLONG kPaceStepMs = 4100;
constexpr DWORD kClearPollMs = 20;
// The SDK ends its connect within 3 s; this bound only guards against an SDK
// that does not.
constexpr DWORD kConnectPatienceMs = 15000;
// Far beyond any presence (three texts of at most 127 bytes, of which the
// log keeps 512 units): a larger payload is refused before it is looked at,
// so that one message costs little.
constexpr DWORD kMaxPresenceBytes = 64 * 1024;
// A log record keeps 512 units of its message; no more of a payload is worth
// copying for it.
constexpr size_t kLoggedUnits = 1024;
const char kWatchdogName[] = "OrvDiscordManager::init::<lambda_1>::operator ()";
const char kInitName[] = "OrvDiscordManager::init";
const char kHandlerName[] = "OrvDiscordManager::onHandleWindowIPC";
const char kFinishName[] = "OrvDiscordManager::finish";
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

}  // namespace

bool OrvDiscordManager::init(const wchar_t* commandLine)
{
    const std::wstring cmd = commandLine ? commandLine : L"";
    ORV_LOG_LIFECYCLE(kInitName, L"\r\n\r\n***** discord init ******");
    std::wstring scratch;
    ORV_LOG_LIFECYCLE(kInitName, L"cmd:%s", utility::ustring::loggable(cmd, scratch));
    // Every wait before the process ends answers sent messages: a front end
    // that sends a presence then is never held (the presence may be dropped).
    if (cmd.empty()) {
        ORV_LOG_ENDING(kInitName, L"no cmd");
        presence::waitAnsweringSenders(nullptr, kGiveUpDelayMs);
        return false;
    }
    // The command line is as new as this process; what arrives later wins.
    const presence::Stamp cmdStamp = presence::processCreation();
    if (!becomeTheInstance(cmd, cmdStamp)) {
        return false;
    }
    // A close, 105 or WM_DESTROY while starting up is final (quit), sent or
    // posted.
    presence::dispatchPostedEndings(m_mainWindow);
    if (m_phase == Phase::Ending) {
        ORV_LOG_ENDING(kInitName, L"told to end while starting up");
        return false;
    }
    m_phase = Phase::Connecting;
    m_ipc.create(m_instanceName, this);
    if (!connectCore()) {
        giveUp();
        return false;
    }
    presence::dispatchPostedEndings(m_mainWindow);
    if (m_phase == Phase::Ending) {
        ORV_LOG_ENDING(kInitName, L"told to end while connecting: nothing published");
        return false;
    }
    ORV_LOG_LIFECYCLE(kInitName, L"init sucess");
    m_phase = Phase::Running;

    if (cmdStamp > m_stamp) {
        m_stamp = cmdStamp;
        parseCmd(cmd);
    }
    update();

    m_timer.start(kWatchdogPeriodMs, makeRunable([this] { checkLiveness(); }));
    return true;
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
    } else if (presence::waitAnsweringSenders(shared->done.get(), kConnectPatienceMs)) {
        connecting.join();
    } else {
        connecting.detach();  // its core, if one ever comes, goes with the process
        ORV_LOG_ENDING(kInitName, L"Discord's connect did not end within %d ms",
                          static_cast<int>(kConnectPatienceMs));
        ORV_LOG_ENDING(kInitName, L"init error %d", static_cast<int>(discord::Result::ServiceUnavailable));
        return false;
    }
    m_core = shared->core;
    m_ownsCore = m_core != nullptr;
    if (!m_core) {
        ORV_LOG_ENDING(kInitName, L"init error %d", static_cast<int>(shared->result));
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
    presence::waitAnsweringSenders(nullptr, kGiveUpDelayMs);
}

void OrvDiscordManager::quit()
{
    m_phase = Phase::Ending;
    PostQuitMessage(0);
}

void OrvDiscordManager::finish()
{
    m_phase = Phase::Ending;
    clear();
    passOn();
}

void OrvDiscordManager::clear()
{
    if (!m_core || m_core->RunCallbacks() != discord::Result::Ok) {
        return;  // Discord is gone, and what it showed with it
    }
    // Discord does not always drop a presence when the connection closes.
    struct Clearing {
        bool done = false;
        discord::Result result = discord::Result::InternalError;
    };
    auto clearing = std::make_shared<Clearing>();  // the SDK may answer after this returns
    ORV_LOG(kFinishName, L"clear activity");
    m_core->ActivityManager().ClearActivity([clearing](discord::Result result) {
        clearing->done = true;
        clearing->result = result;
    });
    const ULONGLONG paceAllows = m_lastPublished ? m_lastPublished + 2 * kPaceStepMs : 0;
    const ULONGLONG deadline = std::max(GetTickCount64(), paceAllows) + kClearPatienceMs;
    discord::Result running = discord::Result::Ok;
    while (!clearing->done && running == discord::Result::Ok) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        presence::waitAnsweringSenders(nullptr, static_cast<DWORD>(std::min<ULONGLONG>(kClearPollMs, deadline - now)));
        running = m_core->RunCallbacks();
    }
    if (clearing->done) {
        ORV_LOG(kFinishName, L"clear activity result %d", static_cast<int>(clearing->result));
    } else {
        ORV_LOG(kFinishName, L"clear activity not confirmed in time");
    }
}

// Whether Discord is still connected, asked before a promise is made. A lost
// connection ends the process at once, as the watchdog's next tick would.
bool OrvDiscordManager::connected(const char* function)
{
    const discord::Result result = m_core ? m_core->RunCallbacks() : discord::Result::NotRunning;
    if (result == discord::Result::Ok) {
        return true;
    }
    ORV_LOG_ENDING(function, L"dicord core not ok %d", static_cast<int>(result));
    quit();
    return false;
}

void OrvDiscordManager::take(std::wstring_view text, presence::Stamp stamp)
{
    m_stamp = stamp;
    parseCmd(text);
    update();
}

void OrvDiscordManager::checkLiveness()
{
    if (!m_frontEnd.isRunning()) {
        ORV_LOG_ENDING(kWatchdogName, L"orvhost not exist");
        quit();
        return;
    }
    connected(kWatchdogName);
}

LRESULT OrvDiscordManager::onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam)
{
    ORV_LOG(kHandlerName, L"onHandleWindowIPC, msg = %d", static_cast<int>(message));
    if (message != WM_COPYDATA) {
        return 0;
    }
    // Read where the sender put it, never copied whole: the work is one pass
    // over at most kMaxPresenceBytes.
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data && data->cbData > kMaxPresenceBytes) {
        ORV_LOG(kHandlerName, L"onCopyData msg = %d, %d bytes: too large, ignored", static_cast<int>(wParam),
                static_cast<int>(data->cbData));
        return 0;
    }
    std::wstring_view text;
    if (data && data->lpData) {
        text = std::wstring_view(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    }
    presence::Stamp stamp = 0;
    const bool offer = wParam == kOfferMessage && presence::readOffer(text, stamp, text);
    // Written escaped: a payload's line breaks must not start records of its own.
    const std::wstring logged = utility::ustring::escapeForLog(text, kLoggedUnits);
    ORV_LOG(kHandlerName, L"onCopyData msg = %d, data = %s", static_cast<int>(wParam), logged.c_str());
    if (wParam != kPresenceMessage && !offer) {
        return 0;
    }
    // No promise without Discord: a connection found lost ends this process,
    // and the presence is then one that came while it ends.
    if (m_phase == Phase::Running) {
        connected(kHandlerName);
    }
    if (m_phase == Phase::Ending) {
        // Not published by this process any more; a front-end presence goes
        // to the second start that waits to run in its place, if one does.
        if (offer) {
            m_successorWaits = true;
        } else {
            m_heldWhileEnding.assign(text);
            m_heldStamp = presence::now();
            ORV_LOG_LIFECYCLE(kHandlerName, L"ending: kept for an instance that follows");
        }
        return 0;
    }
    if (!offer) {
        take(text, presence::now());  // the front end's presence is new when it arrives
    } else if (stamp > m_stamp) {
        take(text, stamp);
    } else {
        ORV_LOG(kHandlerName, L"an offer older than the presence held, not taken");
    }
    return m_phase == Phase::Running ? TRUE : 0;
}
