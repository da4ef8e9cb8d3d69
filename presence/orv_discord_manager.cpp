#include "presence/orv_discord_manager.h"

#include "common/kept_texts.h"
#include "common/local_time.h"
#include "common/log.h"
#include "handles/unique_handle.h"
#include "utility/answering_wait.h"
#include "utility/ustring.h"

#include <algorithm>
#include <memory>

#ifndef ORVPRESD_DISCORD_APPLICATION_ID
#error "ORVPRESD_DISCORD_APPLICATION_ID must name the Discord application"
#endif

namespace {

// How long the way out waits for Discord to confirm the clear, once the
// SDK's pace lets it go: the frame before the clear leaves at most one step
// after the last update, and the clear one step later.
constexpr DWORD kClearPatienceMs = 1000;
constexpr ULONGLONG kClearAfterUpdateMs = 2 * discord::timing::kPaceStep.count();
constexpr DWORD kClearPollMs = 20;
// The SDK ends its connect on time; this bound only guards against an SDK
// that does not.
constexpr auto kConnectPatienceMs = static_cast<DWORD>(5 * discord::timing::kConnect.count());
// Far beyond any presence (three texts the size of the SDK's fields, of which the
// log keeps 512 units): a larger payload is refused before it is looked at,
// so that one message costs little.
constexpr DWORD kMaxPresenceBytes = 64 * 1024;
// A log record keeps 512 units of its message; no more of a payload is worth
// copying for it.
constexpr size_t kLoggedUnits = 1024;
const char kWatchdogName[] = "OrvDiscordManager::init::<lambda_1>::operator ()";
const char kHandlerName[] = "OrvDiscordManager::onHandleWindowIPC";
const char kFinishName[] = "OrvDiscordManager::finish";
const char kEnterName[] = "OrvDiscordManager::enter";
const char kSdkLogName[] = "discord::LogHook";
const char kAskedName[] = "OrvDiscordManager::askedToEnd";
// The Restart Manager closes a program for an update with WM_ENDSESSION and
// ENDSESSION_CLOSEAPP; a program without a visible window that does not
// answer it within 5 seconds is terminated ("Shutdown Changes for Windows
// Vista"), so it is answered at once and the way out runs after it. One that
// has not ended is forced after "the time to wait before initiating a forced
// shutdown of applications ... SystemParametersInfo ... SPI_GETHUNGAPPTIMEOUT"
// (RM_SHUTDOWN_TYPE's remarks; 5 s by default, and "30 seconds" in the same
// page's table): the way out ends a second before the shorter of the two, and
// takes at least kLeastHurryMs.
// https://learn.microsoft.com/windows/win32/api/restartmanager/ne-restartmanager-rm_shutdown_type
constexpr DWORD kRestartManagerForcesMs = 30000;
constexpr DWORD kHurryMarginMs = 1000;
constexpr DWORD kLeastHurryMs = 2000;

DWORD restartManagerAllowsMs()
{
    UINT hungAppTimeout = 0;
    if (!SystemParametersInfoW(SPI_GETHUNGAPPTIMEOUT, 0, &hungAppTimeout, 0) || hungAppTimeout == 0) {
        hungAppTimeout = 5000;  // the documented default
    }
    const DWORD allowed = std::min<DWORD>(hungAppTimeout, kRestartManagerForcesMs);
    return std::max(allowed, kLeastHurryMs + kHurryMarginMs) - kHurryMarginMs;
}

const wchar_t* levelName(EDiscordLogLevel level)
{
    static const wchar_t* const kNames[] = {L"debug", L"error", L"warn", L"info"};
    return level >= DiscordLogLevel_Error && level <= DiscordLogLevel_Info ? kNames[level] : L"debug";
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
    ORV_LOG_LIFECYCLE(presence::kInitLogName, kept::kDiscordInit);
    std::wstring scratch;
    ORV_LOG_LIFECYCLE(presence::kInitLogName, kept::kCommandLine, utility::ustring::loggable(cmd, scratch));
    // Every wait before the process ends answers sent messages: a front end
    // that sends a presence then is never held (the presence may be dropped).
    if (cmd.empty()) {
        ORV_LOG_ENDING(presence::kInitLogName, kept::kNoCommand);
        giveUp(L"nothing to show");
        return false;
    }
    // The command line is as new as this process; what arrives later wins.
    const presence::Stamp cmdStamp = common::processCreationOnMonotonicClock();
    if (!becomeTheInstance(cmd, cmdStamp)) {
        return false;
    }
    if (toldToEnd()) {
        ORV_LOG_ENDING(presence::kInitLogName, L"told to end while starting up");
        return false;
    }
    m_ipc.create(m_instanceName, this);
    std::unique_ptr<discord::Core> core = connectCore();
    if (!core) {
        holdTheNewest(cmd, cmdStamp);
        giveUp(L"no connection to Discord");
        return false;
    }
    // Only now is the core the manager's: what comes while start-up looks
    // for a posted close is taken, not published.
    if (toldToEnd()) {
        ORV_LOG_ENDING(presence::kInitLogName, L"told to end while connecting: nothing published");
        return false;
    }
    m_core = std::move(core);
    ORV_LOG_LIFECYCLE(presence::kInitLogName, kept::kInitSuccess);
    enter(Phase::Running, L"connected to Discord");

    if (cmdStamp > m_stamp) {
        m_stamp = cmdStamp;
        parseCmd(cmd);
    }
    update();

    m_timer.start(kWatchdogPeriodMs, makeRunable([this] { checkLiveness(); }));
    return true;
}

// A start whose connect failed holds the newest presence it knows (its
// command line, or one taken while it connected) for a second start that
// waits to run in its place: that one may connect, and its own presence is
// older.
void OrvDiscordManager::holdTheNewest(const std::wstring& cmd, presence::Stamp cmdStamp)
{
    if (cmdStamp >= m_stamp) {
        m_heldWhileEnding = cmd;
        m_heldStamp = cmdStamp;
    } else {
        m_heldWhileEnding = L"details=" + m_details + L"|state=" + m_state + L"|gameicon=" + m_gameIcon;
        m_heldStamp = m_stamp;
    }
}

// The only writer of the phase. Phases only go forward: once ending, a
// process never runs again.
bool OrvDiscordManager::enter(Phase next, const wchar_t* why)
{
    if (next <= m_phase) {
        return false;
    }
    const Phase was = m_phase;
    m_phase = next;
    ORV_LOG_LIFECYCLE(kEnterName, L"phase %s -> %s: %s", presence::phaseName(was), presence::phaseName(next), why);
    return true;
}

void OrvDiscordManager::setCoreForTest(std::unique_ptr<discord::Core> core)
{
    m_core = std::move(core);
    enter(Phase::Running, L"a core made by a test");
}

// True when this start holds the single-instance mutex, at once or after the
// running instance ended without taking the presence. Otherwise the presence
// went to the running instance (or could not), and this start ends.
bool OrvDiscordManager::becomeTheInstance(const std::wstring& cmd, presence::Stamp stamp)
{
    presence::MutexSearch search;
    search.open = m_openMutex;
    const presence::MutexFound found = presence::findTheMutex(m_instanceName, search);
    if (found == presence::MutexFound::Created) {
        m_mutex.reset(search.mutex.release());
        enter(Phase::Connecting, L"this start holds the single-instance mutex");
        return true;
    }
    if (found == presence::MutexFound::Exists) {
        enter(Phase::HandingOver, L"another instance holds the single-instance mutex");
        switch (presence::handOver(m_instanceName, presence::makeOffer(stamp, cmd), m_takeOverPatienceMs, search,
                                   [this] { return toldToEnd(); })) {
        case presence::HandedOver::RunInItsPlace:
            m_mutex.reset(search.mutex.release());
            enter(Phase::Connecting, L"the running instance has ended");
            return true;
        case presence::HandedOver::ToldToEnd:
            ORV_LOG_ENDING(presence::kInitLogName, L"told to end while handing cmd over");
            return false;
        default:
            break;
        }
    }
    ORV_LOG_ENDING(presence::kInitLogName, kept::kInstanceExists);
    giveUp(found == presence::MutexFound::Failed ? L"no single-instance mutex" : L"another instance runs");
    return false;
}

// Start-up's waits answer only sent messages: a posted close or exit command
// would wait for the message loop, until after start-up had published and
// promised. So start-up looks for them (a bounded number: a sender that posts
// without end holds it no longer), and ends without closing the hidden window
// (the process ends). Sent ones reach quit() through the main window's
// procedure. Any other command is dropped, as before running.
bool OrvDiscordManager::toldToEnd()
{
    constexpr int kMost = 64;
    MSG message;
    if (m_mainWindow && PeekMessageW(&message, m_mainWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE)) {
        quit(L"a close was posted");
    }
    if (m_ipc.window() && PeekMessageW(&message, m_ipc.window(), WM_CLOSE, WM_CLOSE, PM_REMOVE)) {
        askedToEnd(presence::EndRequest::Close, L"IPC window");
    }
    for (int i = 0; m_mainWindow && i < kMost &&
                    PeekMessageW(&message, m_mainWindow, WM_COMMAND, WM_COMMAND, PM_REMOVE);
         ++i) {
        if (LOWORD(message.wParam) == m_exitCommand) {
            quit(L"the exit command was posted");
        } else {
            ORV_LOG(presence::kInitLogName, L"command %d posted while starting up: ignored", static_cast<int>(LOWORD(message.wParam)));
        }
    }
    return m_phase == Phase::Ending;
}

// Connecting waits seconds for a Discord that does not answer, while this
// thread answers the IPC window. A connect that overruns its bound is left
// behind with what it shares.
std::unique_ptr<discord::Core> OrvDiscordManager::connectCore()
{
    struct Connecting {
        discord::Core* core = nullptr;
        discord::Result result = discord::Result::InternalError;
    };
    auto shared = std::make_shared<Connecting>();
    const auto connect = [shared] {
        shared->result = discord::Core::Create(ORVPRESD_DISCORD_APPLICATION_ID, DiscordCreateFlags_NoRequireDiscord,
                                               &shared->core, &logSdkMessage);
    };
    if (!utility::runAnsweringSenders(connect, kConnectPatienceMs)) {
        ORV_LOG_ENDING(presence::kInitLogName, L"Discord's connect did not end within %d ms", static_cast<int>(kConnectPatienceMs));
        ORV_LOG_ENDING(presence::kInitLogName, kept::kInitError, static_cast<int>(discord::Result::ServiceUnavailable));
        return nullptr;  // its core, if one ever comes, goes with the process
    }
    std::unique_ptr<discord::Core> core(shared->core);
    if (!core) {
        ORV_LOG_ENDING(presence::kInitLogName, kept::kInitError, static_cast<int>(shared->result));
        return nullptr;
    }
    core->SetLogHook(DiscordLogLevel_Info, &logSdkMessage);
    return core;
}

// A start that does not run takes no presence any more, and answers senders
// for a while before it ends (a second start waits for it to end and runs).
void OrvDiscordManager::giveUp(const wchar_t* why)
{
    enter(Phase::GivingUp, why);
    utility::waitAnsweringSenders(nullptr, presence::kGiveUpDelayMs);
}

void OrvDiscordManager::quit(const wchar_t* why)
{
    enter(Phase::Ending, why);
    PostQuitMessage(0);
    if (m_endingHook) {
        m_endingHook();
    }
}

void OrvDiscordManager::askedToEnd(presence::EndRequest request, const wchar_t* window)
{
    switch (request) {
    case presence::EndRequest::Close:
        ORV_LOG_ENDING(kAskedName, L"told to end: the %s is asked to close", window);
        quit(L"a close from outside");
        return;
    case presence::EndRequest::CloseForUpdate:
        ORV_LOG_ENDING(kAskedName,
                       L"told to end: Windows asks this program to close (at the %s) for an update or a restart of "
                       L"applications (Restart Manager)",
                       window);
        if (!m_hurryUntil) {
            m_hurryUntil = GetTickCount64() + restartManagerAllowsMs();
        }
        quit(L"closed for an update");
        // The system may end the process at any moment now.
        common::flushLog();
        return;
    case presence::EndRequest::SessionEnds:
        // "The session can end any time after all applications have returned
        // from processing this message" (WM_ENDSESSION): what the log holds
        // is written now, also by a process already on its way out.
        ORV_LOG_ENDING(kAskedName, L"the Windows session ends (at the %s)", window);
        quit(L"the Windows session ends");
        common::flushLog();
        return;
    case presence::EndRequest::None:
        return;
    }
}

// The earlier of deadline and the time Windows allows the way out.
ULONGLONG OrvDiscordManager::hurried(ULONGLONG deadline) const
{
    return m_hurryUntil ? std::min(deadline, m_hurryUntil) : deadline;
}

void OrvDiscordManager::finish()
{
    enter(Phase::Clearing, L"the message loop has ended");
    clear();
    passOn();
}

// A second start waits for the mutex while this one ends; a presence the
// front end sent meanwhile came here, and would be lost. The start is let run
// now, and given that presence with its stamp as its own offers are: it keeps
// it only if nothing newer came.
void OrvDiscordManager::passOn()
{
    const bool successor = m_successorWaits && !m_heldWhileEnding.empty();
    enter(Phase::PassingOn, successor ? L"a second start waits to run in this one's place" : L"nothing to pass on");
    m_ipc.destroy();  // so that the start's IPC window is the one found
    m_core.reset();   // the connection closes before the start connects
    m_mutex.reset();  // released: the start runs
    if (successor) {
        presence::passOn(m_instanceName, presence::makeOffer(m_heldStamp, m_heldWhileEnding), hurried(~0ULL));
    }
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
    ORV_LOG(kFinishName, kept::kClearActivity);
    m_core->ActivityManager().ClearActivity([clearing](discord::Result result) {
        clearing->done = true;
        clearing->result = result;
    });
    const ULONGLONG paceAllows = m_lastPublished ? m_lastPublished + kClearAfterUpdateMs : 0;
    const ULONGLONG deadline = hurried(std::max(GetTickCount64(), paceAllows) + kClearPatienceMs);
    discord::Result running = discord::Result::Ok;
    while (!clearing->done && running == discord::Result::Ok) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            break;
        }
        utility::waitAnsweringSenders(nullptr, static_cast<DWORD>(std::min<ULONGLONG>(kClearPollMs, deadline - now)));
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
    ORV_LOG_ENDING(function, kept::kCoreNotOk, static_cast<int>(result));
    quit(L"Discord is gone");
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
    // Told to end, and still ticking: a loop has met the quit message and
    // not passed it on (a modal loop's). Told to end is final: once more.
    if (ending()) {
        PostQuitMessage(0);
        return;
    }
    if (!m_frontEnd.isRunning()) {
        ORV_LOG_ENDING(kWatchdogName, kept::kFrontEndGone);
        quit(L"the front end is gone");
        return;
    }
    connected(kWatchdogName);
}

LRESULT OrvDiscordManager::onHandleWindowIPC(UINT message, WPARAM wParam, LPARAM lParam)
{
    ORV_LOG(kHandlerName, kept::kWindowMessage, static_cast<int>(message));
    // The IPC window is a top-level window whose class every sender knows:
    // closes and the ends of the session reach it as they reach the main
    // window, and end the process as they would there. It goes only with it.
    if (message == WM_QUERYENDSESSION) {
        return TRUE;
    }
    if (message == WM_CLOSE || message == WM_ENDSESSION) {
        askedToEnd(presence::endRequestOf(message, wParam, lParam), L"IPC window");
        return 0;
    }
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
    const bool offer = wParam == frontend::kOfferMessage && presence::readOffer(text, stamp, text);
    // Written escaped: a payload's line breaks must not start records of its own.
    const std::wstring logged = utility::ustring::escapeForLog(text, kLoggedUnits);
    ORV_LOG(kHandlerName, kept::kCopyData, static_cast<int>(wParam), logged.c_str());
    if (wParam != frontend::kPresenceMessage && !offer) {
        return 0;
    }
    // No promise without Discord: a connection found lost ends this process,
    // and the presence is then one that came while it ends.
    if (m_phase == Phase::Running) {
        connected(kHandlerName);
    }
    const presence::Stamp arrived = offer ? stamp : presence::now();  // the front end's is new as it arrives
    const presence::Judgement judged =
        presence::judge(m_phase, offer ? presence::Sender::SecondStart : presence::Sender::FrontEnd, arrived > m_stamp);
    m_successorWaits = m_successorWaits || judged.successorWaits;
    if (judged.keep) {
        m_heldWhileEnding.assign(text);
        m_heldStamp = arrived;
        ORV_LOG_LIFECYCLE(kHandlerName, L"ending: kept for an instance that follows");
    }
    if (judged.take) {
        take(text, arrived);
    } else if (offer && !judged.successorWaits) {
        ORV_LOG(kHandlerName, L"an offer older than the presence held, not taken");
    }
    return judged.answer;
}
