#include "presence/orv_discord_manager.h"

#include "common/kept_texts.h"
#include "common/local_time.h"
#include "common/log.h"
#include "utility/text_field.h"
#include "utility/ustring.h"

#include <windows.h>

#include <string_view>

#ifndef ORVPRESD_DEFAULT_ICON_HOST
#define ORVPRESD_DEFAULT_ICON_HOST "orvpresd.example.com"
#endif

namespace {

constexpr std::string_view kDefaultIconUrl =
    "https://" ORVPRESD_DEFAULT_ICON_HOST "/player_files/en/img/discord/orvapp_icon100.png";

}  // namespace

void OrvDiscordManager::update()
{
    // The texts come from outside: escaped where they hold line breaks.
    std::wstring scratch;
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", kept::kUpdateDetails, utility::ustring::loggable(m_details, scratch));
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", kept::kUpdateState, utility::ustring::loggable(m_state, scratch));
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", kept::kUpdateIcon, utility::ustring::loggable(m_gameIcon, scratch));

    if (m_details == m_lastDetails && m_state == m_lastState) {
        ORV_LOG("OrvDiscordManager::update", kept::kSameInfo);
        return;
    }
    if (!m_core) {
        // Kept for when the core exists: the same presence is sent then.
        ORV_LOG("OrvDiscordManager::update", L"no discord core yet, update deferred");
        return;
    }
    m_lastDetails = m_details;
    m_lastState = m_state;

    // Built on the stack: the SDK copies it and returns.
    DiscordActivity activity{};
    activity.type = DiscordActivityType_Playing;
    utility::copyToField(activity.details, m_details);
    utility::copyToField(activity.state, m_state);
    text::copyField(activity.assets.small_image, kDefaultIconUrl);
    if (!utility::copyWholeToField(activity.assets.large_image, m_gameIcon)) {
        ORV_LOG("OrvDiscordManager::update", L"icon longer than %d bytes: not sent",
                static_cast<int>(sizeof activity.assets.large_image - 1));
    }
    activity.timestamps.start = static_cast<DiscordTimestamp>(common::currentUnixSeconds());

    m_lastPublished = GetTickCount64();
    m_core->ActivityManager().UpdateActivity(activity, [](discord::Result) {});
}
