#include "presence/orv_discord_manager.h"

#include "common/local_time.h"
#include "common/log.h"
#include "text/utf8_cut.h"
#include "utility/ustring.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

#ifndef ORVPRESD_DEFAULT_ICON_HOST
#define ORVPRESD_DEFAULT_ICON_HOST "orvpresd.example.com"
#endif

namespace {

constexpr std::string_view kDefaultIconUrl =
    "https://" ORVPRESD_DEFAULT_ICON_HOST "/player_files/en/img/discord/orvapp_icon100.png";

// As much of text as a field of Size bytes can show, as UTF-8 in utf8,
// without an allocation: every unit is at least one byte, so units past the
// field's size never reach it, and the units that may are at most three bytes
// each (a pair of surrogates makes four of two). whole tells whether all of
// text fits the field.
template <size_t Size>
std::string_view fieldUtf8(const std::wstring& text, char (&utf8)[3 * Size], bool& whole)
{
    const int units = static_cast<int>(std::min(text.size(), Size));
    const int bytes = units == 0 ? 0
                                 : WideCharToMultiByte(CP_UTF8, 0, text.data(), units, utf8, static_cast<int>(sizeof utf8),
                                                       nullptr, nullptr);
    const size_t length = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    whole = text.size() < Size && length < Size;
    return std::string_view(utf8, length);
}

// Fills a text field with text, cut at a whole character if need be.
template <size_t Size>
void copyWideField(char (&field)[Size], const std::wstring& text)
{
    char utf8[3 * Size];
    bool whole = false;
    presence::copyField(field, fieldUtf8<Size>(text, utf8, whole));
}

// Fills an image field with the address whole, or leaves it empty: a cut
// address names another image, most likely none. False when it did not fit.
template <size_t Size>
bool copyWholeField(char (&field)[Size], const std::wstring& text)
{
    char utf8[3 * Size];
    bool whole = false;
    const std::string_view address = fieldUtf8<Size>(text, utf8, whole);
    presence::copyField(field, whole ? address : std::string_view());
    return whole;
}

}  // namespace

namespace presence {

void copyField(char* field, size_t size, std::string_view utf8)
{
    if (size == 0) {
        return;
    }
    const size_t length = text::utf8CutLength(utf8, size - 1);
    std::copy_n(utf8.data(), length, field);
    std::fill(field + length, field + size, '\0');
}

}  // namespace presence

void OrvDiscordManager::update()
{
    // The texts come from outside: escaped where they hold line breaks.
    std::wstring scratch;
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", L"update detail:%s", utility::ustring::loggable(m_details, scratch));
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", L"update state:%s", utility::ustring::loggable(m_state, scratch));
    ORV_LOG_LIFECYCLE("OrvDiscordManager::update", L"update icon:%s", utility::ustring::loggable(m_gameIcon, scratch));

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

    // Built on the stack: the SDK copies it and returns.
    DiscordActivity activity{};
    activity.type = DiscordActivityType_Playing;
    copyWideField(activity.details, m_details);
    copyWideField(activity.state, m_state);
    presence::copyField(activity.assets.small_image, kDefaultIconUrl);
    if (!copyWholeField(activity.assets.large_image, m_gameIcon)) {
        ORV_LOG("OrvDiscordManager::update", L"icon longer than %d bytes: not sent",
                static_cast<int>(sizeof activity.assets.large_image - 1));
    }
    activity.timestamps.start = static_cast<DiscordTimestamp>(common::currentUnixSeconds());

    m_lastPublished = GetTickCount64();
    m_core->ActivityManager().UpdateActivity(activity, [](discord::Result) {});
}
