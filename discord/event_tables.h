#pragma once

#include "discord/discord_game_sdk.h"

namespace discord {

// The nine static events records handed to DiscordCreate. Each handler takes
// the core as event_data; with a null event_data it does nothing.
extern IDiscordUserEvents g_userEvents;
extern IDiscordActivityEvents g_activityEvents;
extern IDiscordRelationshipEvents g_relationshipEvents;
extern IDiscordLobbyEvents g_lobbyEvents;
extern IDiscordNetworkEvents g_networkEvents;
extern IDiscordOverlayEvents g_overlayEvents;
extern IDiscordStoreEvents g_storeEvents;
extern IDiscordVoiceEvents g_voiceEvents;
extern IDiscordAchievementEvents g_achievementEvents;

}  // namespace discord
