#include "presence/orv_discord_manager.h"

#include "common/log.h"
#include "common/unique_handle.h"

#include <thread>

#ifndef ORVPRESD_DISCORD_APPLICATION_ID
#error "ORVPRESD_DISCORD_APPLICATION_ID must name the Discord application"
#endif

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
constexpr UINT kHandOverTimeoutMs = 1000;
// Far beyond any presence (three texts of 128 bytes): a larger payload is
// refused before it is looked at, so that one message costs little.
constexpr DWORD kMaxPresenceBytes = 1024 * 1024;
// The log record holds 16 KiB; no more of a payload is worth copying for it.
constexpr size_t kLoggedUnits = 8192;
const char kWatchdogName[] = "OrvDiscordManager::init::<lambda_1>::operator ()";

// Waits until handle is signalled (or, without one, for the whole time),
// answering every message sent to this thread's windows meanwhile, so that
// no sender is held. Posted messages stay queued.
void waitAnsweringSenders(HANDLE handle, DWORD milliseconds)
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    const DWORD count = handle ? 1 : 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = milliseconds == INFINITE ? INFINITE : now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD waited = MsgWaitForMultipleObjects(count, handle ? &handle : nullptr, FALSE, left, QS_SENDMESSAGE);
        if (waited == WAIT_OBJECT_0 + count) {
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs what was sent
            continue;
        }
        if (waited == WAIT_FAILED && handle) {
            WaitForSingleObject(handle, milliseconds);
        }
        return;
    }
}

// Gives the running instance this start's presence, the way the front end
// sends one.
void handOver(const std::wstring& windowClass, const std::wstring& cmd)
{
    HWND running = FindWindowW(windowClass.c_str(), nullptr);
    if (!running) {
        ORV_LOG("OrvDiscordManager::init", L"cmd not handed over: no window of the running instance");
        return;
    }
    std::wstring text = cmd;  // COPYDATASTRUCT wants a mutable buffer
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = text.data();
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutW(running, WM_COPYDATA, OrvDiscordManager::kPresenceMessage, reinterpret_cast<LPARAM>(&data),
                            SMTO_ABORTIFHUNG, kHandOverTimeoutMs, &answer)) {
        ORV_LOG("OrvDiscordManager::init", L"cmd handed over to the running instance");
    } else {
        ORV_LOG("OrvDiscordManager::init", L"cmd not handed over, error %d", static_cast<int>(GetLastError()));
    }
}

}  // namespace

bool OrvDiscordManager::init(const wchar_t* commandLine)
{
    const std::wstring cmd = commandLine ? commandLine : L"";
    ORV_LOG("OrvDiscordManager::init", L"\r\n\r\n***** discord init ******");
    ORV_LOG("OrvDiscordManager::init", L"cmd:%s", cmd.c_str());
    // Every wait before the process ends answers sent messages: a front end
    // that sends a presence then is never held (the presence may be dropped).
    if (cmd.empty()) {
        ORV_LOG("OrvDiscordManager::init", L"no cmd");
        waitAnsweringSenders(nullptr, kGiveUpDelayMs);
        return false;
    }

    // Held until the process ends: that is what makes a second start fail.
    // The second start's presence is still the newest: the running one gets it.
    if (!utility::createMutex(m_instanceName, true, true)) {
        handOver(m_instanceName, cmd);
        ORV_LOG("OrvDiscordManager::init", L"progress exist!");
        waitAnsweringSenders(nullptr, kGiveUpDelayMs);
        return false;
    }

    m_ipc.create(m_instanceName, this);

    // Connecting waits seconds for a Discord that does not answer; it runs on
    // a thread of its own while this one answers the IPC window.
    discord::Core* core = nullptr;
    discord::Result created = discord::Result::InternalError;
    auto connect = [&] {
        created = discord::Core::Create(ORVPRESD_DISCORD_APPLICATION_ID, DiscordCreateFlags_NoRequireDiscord, &core);
    };
    common::UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (connected) {
        std::thread connecting([&] {
            connect();
            SetEvent(connected.get());
        });
        waitAnsweringSenders(connected.get(), INFINITE);
        connecting.join();
    } else {
        connect();  // no event to wait on: connect here, as before
    }
    m_core = core;
    if (!m_core) {
        ORV_LOG("OrvDiscordManager::init", L"init error %d", static_cast<int>(created));
        waitAnsweringSenders(nullptr, kGiveUpDelayMs);
        return false;
    }
    ORV_LOG("OrvDiscordManager::init", L"init sucess");

    // A presence sent while connecting is newer than the command line's.
    if (!m_presenceReceived) {
        parseCmd(cmd);
    }
    update();

    m_timer.start(kWatchdogPeriodMs, makeRunable([this] { checkLiveness(); }));
    return true;
}

void OrvDiscordManager::checkLiveness()
{
    if (!m_frontEnd.isRunning()) {
        ORV_LOG(kWatchdogName, L"orvhost not exist");
        PostQuitMessage(0);
        return;
    }
    const discord::Result result = m_core ? m_core->RunCallbacks() : discord::Result::NotRunning;
    if (result != discord::Result::Ok) {
        ORV_LOG(kWatchdogName, L"dicord core not ok %d", static_cast<int>(result));
        PostQuitMessage(0);
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
    const std::wstring logged(text.substr(0, kLoggedUnits));
    ORV_LOG("OrvDiscordManager::onHandleWindowIPC", L"onCopyData msg = %d, data = %s", static_cast<int>(wParam),
            logged.c_str());
    if (wParam == kPresenceMessage) {
        m_presenceReceived = true;
        parseCmd(text);
        update();
    }
    return 0;
}
