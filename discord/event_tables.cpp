#include "discord/event_tables.h"

#include "discord/core.h"

namespace discord {
namespace {

// Fans one SDK event out to its listeners. No exception may travel back into
// the SDK's C code, so a failing listener ends the fan-out there.
template <typename Manager, typename Fire>
void dispatch(void* eventData, Manager& (Core::*manager)(), Fire&& fire) noexcept
{
    auto* core = static_cast<Core*>(eventData);
    if (!core) {
        return;
    }
    try {
        fire((core->*manager)());
    } catch (...) {
    }
}

void onCurrentUserUpdate(void* data)
{
    dispatch(data, &Core::UserManager, [](UserManager& m) { m.OnCurrentUserUpdate(); });
}

void onActivityJoin(void* data, const char* secret)
{
    dispatch(data, &Core::ActivityManager, [&](ActivityManager& m) { m.OnActivityJoin(secret); });
}

void onActivitySpectate(void* data, const char* secret)
{
    dispatch(data, &Core::ActivityManager, [&](ActivityManager& m) { m.OnActivitySpectate(secret); });
}

void onActivityJoinRequest(void* data, DiscordUser* user)
{
    dispatch(data, &Core::ActivityManager, [&](ActivityManager& m) {
        if (user) {
            m.OnActivityJoinRequest(*user);
        }
    });
}

void onActivityInvite(void* data, EDiscordActivityActionType type, DiscordUser* user, DiscordActivity* activity)
{
    dispatch(data, &Core::ActivityManager, [&](ActivityManager& m) {
        if (user && activity) {
            m.OnActivityInvite(type, *user, *activity);
        }
    });
}

void onRefresh(void* data)
{
    dispatch(data, &Core::RelationshipManager, [](RelationshipManager& m) { m.OnRefresh(); });
}

void onRelationshipUpdate(void* data, DiscordRelationship* relationship)
{
    dispatch(data, &Core::RelationshipManager, [&](RelationshipManager& m) {
        if (relationship) {
            m.OnRelationshipUpdate(*relationship);
        }
    });
}

void onLobbyUpdate(void* data, int64_t lobby)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnLobbyUpdate(lobby); });
}

void onLobbyDelete(void* data, int64_t lobby, uint32_t reason)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnLobbyDelete(lobby, reason); });
}

void onMemberConnect(void* data, int64_t lobby, int64_t user)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnMemberConnect(lobby, user); });
}

void onMemberUpdate(void* data, int64_t lobby, int64_t user)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnMemberUpdate(lobby, user); });
}

void onMemberDisconnect(void* data, int64_t lobby, int64_t user)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnMemberDisconnect(lobby, user); });
}

void onLobbyMessage(void* data, int64_t lobby, int64_t user, uint8_t* bytes, uint32_t length)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnLobbyMessage(lobby, user, bytes, length); });
}

void onSpeaking(void* data, int64_t lobby, int64_t user, bool speaking)
{
    dispatch(data, &Core::LobbyManager, [&](LobbyManager& m) { m.OnSpeaking(lobby, user, speaking); });
}

void onNetworkMessage(void* data, int64_t lobby, int64_t user, uint8_t channel, uint8_t* bytes, uint32_t length)
{
    dispatch(data, &Core::LobbyManager,
             [&](LobbyManager& m) { m.OnNetworkMessage(lobby, user, channel, bytes, length); });
}

void onMessage(void* data, DiscordNetworkPeerId peer, DiscordNetworkChannelId channel, uint8_t* bytes,
               uint32_t length)
{
    dispatch(data, &Core::NetworkManager, [&](NetworkManager& m) { m.OnMessage(peer, channel, bytes, length); });
}

void onRouteUpdate(void* data, const char* route)
{
    dispatch(data, &Core::NetworkManager, [&](NetworkManager& m) { m.OnRouteUpdate(route); });
}

void onToggle(void* data, bool locked)
{
    dispatch(data, &Core::OverlayManager, [&](OverlayManager& m) { m.OnToggle(locked); });
}

void onEntitlementCreate(void* data, DiscordEntitlement* entitlement)
{
    dispatch(data, &Core::StoreManager, [&](StoreManager& m) {
        if (entitlement) {
            m.OnEntitlementCreate(*entitlement);
        }
    });
}

void onEntitlementDelete(void* data, DiscordEntitlement* entitlement)
{
    dispatch(data, &Core::StoreManager, [&](StoreManager& m) {
        if (entitlement) {
            m.OnEntitlementDelete(*entitlement);
        }
    });
}

void onSettingsUpdate(void* data)
{
    dispatch(data, &Core::VoiceManager, [](VoiceManager& m) { m.OnSettingsUpdate(); });
}

void onUserAchievementUpdate(void* data, DiscordUserAchievement* achievement)
{
    dispatch(data, &Core::AchievementManager, [&](AchievementManager& m) {
        if (achievement) {
            m.OnUserAchievementUpdate(*achievement);
        }
    });
}

}  // namespace

IDiscordUserEvents g_userEvents = {onCurrentUserUpdate};
IDiscordActivityEvents g_activityEvents = {onActivityJoin, onActivitySpectate, onActivityJoinRequest,
                                           onActivityInvite};
IDiscordRelationshipEvents g_relationshipEvents = {onRefresh, onRelationshipUpdate};
IDiscordLobbyEvents g_lobbyEvents = {onLobbyUpdate,      onLobbyDelete,  onMemberConnect, onMemberUpdate,
                                     onMemberDisconnect, onLobbyMessage, onSpeaking,      onNetworkMessage};
IDiscordNetworkEvents g_networkEvents = {onMessage, onRouteUpdate};
IDiscordOverlayEvents g_overlayEvents = {onToggle};
IDiscordStoreEvents g_storeEvents = {onEntitlementCreate, onEntitlementDelete};
IDiscordVoiceEvents g_voiceEvents = {onSettingsUpdate};
IDiscordAchievementEvents g_achievementEvents = {onUserAchievementUpdate};

}  // namespace discord
