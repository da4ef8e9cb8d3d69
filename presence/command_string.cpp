#include "presence/orv_discord_manager.h"

#include "utility/ustring.h"

#include <map>
#include <vector>

void OrvDiscordManager::parseCmd(const std::wstring& text)
{
    std::vector<std::wstring> pieces;
    std::map<std::wstring, std::wstring> pairs;
    if (!text.empty()) {
        utility::ustring::split(pieces, text, L"|");
    }
    if (!pieces.empty()) {
        utility::ustring::parseKeyValues(pairs, pieces, L"=");
    }
    m_details.clear();
    m_state.clear();
    m_gameIcon.clear();
    utility::ustring::getValue(m_details, pairs, L"details");
    utility::ustring::getValue(m_state, pairs, L"state");
    utility::ustring::getValue(m_gameIcon, pairs, L"gameicon");
}
