#include "presence/orv_discord_manager.h"

#include "common/log.h"
#include "utility/ustring.h"

#include <algorithm>
#include <ctime>

#ifndef ORVPRESD_DEFAULT_ICON_HOST
#define ORVPRESD_DEFAULT_ICON_HOST "orvpresd.example.com"
#endif

namespace {

const char kDefaultIconUrl[] = "https://" ORVPRESD_DEFAULT_ICON_HOST "/player_files/en/img/discord/orvapp_icon100.png";

// The UTF-8 of as much of text as a field of this size can show. Every unit
// is at least one byte, so units past the field's size never reach it.
std::string fieldUtf8(const std::wstring& text, size_t fieldSize)
{
    return utility::ustring::toUtf8(text.size() <= fieldSize ? text : text.substr(0, fieldSize));
}

}  // namespace

namespace presence {

void copyField(char* field, size_t size, const std::string& utf8)
{
    if (size == 0) {
        return;
    }
    size_t length = std::min(utf8.size(), size - 1);
    if (length < utf8.size()) {
        // Never leave half a character at the end.
        while (length > 0 && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::copy_n(utf8.data(), length, field);
    std::fill(field + length, field + size, '\0');
}

}  // namespace presence

void OrvDiscordManager::update()
{
    // The texts come from outside: escaped where they hold line breaks.
    std::wstring scratch;
    ORV_LOG("OrvDiscordManager::update", L"update detail:%s", utility::ustring::loggable(m_details, scratch));
    ORV_LOG("OrvDiscordManager::update", L"update state:%s", utility::ustring::loggable(m_state, scratch));
    ORV_LOG("OrvDiscordManager::update", L"update icon:%s", utility::ustring::loggable(m_gameIcon, scratch));

    if (m_details == m_lastDetails && m_state == m_lastState) {
        ORV_LOG("OrvDiscordManager::update", L"same info");
        return;
    }
    if (!m_core) {
        // Kept for when the core exists: the same presence is sent then.
        ORV_LOG("OrvDiscordManager::update", L"no discord core yet, update deferred");
        return;
    }
    m_lastDetails = m_details;
    m_lastState = m_state;

    DiscordActivity activity{};
    activity.type = DiscordActivityType_Playing;
    presence::copyField(activity.details, fieldUtf8(m_details, sizeof activity.details));
    presence::copyField(activity.state, fieldUtf8(m_state, sizeof activity.state));
    presence::copyField(activity.assets.small_image, kDefaultIconUrl);
    presence::copyField(activity.assets.large_image, fieldUtf8(m_gameIcon, sizeof activity.assets.large_image));
    activity.timestamps.start = static_cast<DiscordTimestamp>(_time64(nullptr));

    m_core->ActivityManager().UpdateActivity(activity, [](discord::Result) {});
}
