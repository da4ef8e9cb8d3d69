#include "presence/orv_discord_manager.h"

#include "common/log.h"

#ifndef ORVPRESD_DISCORD_APPLICATION_ID
#error "ORVPRESD_DISCORD_APPLICATION_ID must name the Discord application"
#endif

namespace {

constexpr DWORD kGiveUpDelayMs = 3000;
const char kWatchdogName[] = "OrvDiscordManager::init::<lambda_1>::operator ()";

}  // namespace

bool OrvDiscordManager::init(const wchar_t* commandLine)
{
    const std::wstring cmd = commandLine ? commandLine : L"";
    ORV_LOG("OrvDiscordManager::init", L"\r\n\r\n***** discord init ******");
    ORV_LOG("OrvDiscordManager::init", L"cmd:%s", cmd.c_str());
    if (cmd.empty()) {
        ORV_LOG("OrvDiscordManager::init", L"no cmd");
        Sleep(kGiveUpDelayMs);
        return false;
    }

    // Held until the process ends: that is what makes a second start fail.
    if (!utility::createMutex(m_instanceName, true, true)) {
        ORV_LOG("OrvDiscordManager::init", L"progress exist!");
        Sleep(kGiveUpDelayMs);
        return false;
    }

    m_ipc.create(m_instanceName, this);

    const discord::Result created =
        discord::Core::Create(ORVPRESD_DISCORD_APPLICATION_ID, DiscordCreateFlags_NoRequireDiscord, &m_core);
    if (!m_core) {
        ORV_LOG("OrvDiscordManager::init", L"init error %d", static_cast<int>(created));
        Sleep(kGiveUpDelayMs);
        return false;
    }
    ORV_LOG("OrvDiscordManager::init", L"init sucess");

    parseCmd(cmd);
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
    std::wstring text;
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data && data->lpData) {
        text.assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    }
    ORV_LOG("OrvDiscordManager::onHandleWindowIPC", L"onCopyData msg = %d, data = %s", static_cast<int>(wParam),
            text.c_str());
    if (wParam == kPresenceMessage) {
        parseCmd(text);
        update();
    }
    return 0;
}
