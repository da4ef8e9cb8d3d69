#include "presence/orv_discord_manager.h"

#include "presence/command_parser.h"

void OrvDiscordManager::parseCmd(std::wstring_view text)
{
    presence::PresenceTexts texts = presence::parsePresenceCommand(text);
    m_details = std::move(texts.details);
    m_state = std::move(texts.state);
    m_gameIcon = std::move(texts.gameIcon);
}
