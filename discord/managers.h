#pragma once

#include "discord/discord_game_sdk.h"
#include "discord/event.h"
#include "discord/result.h"

#include <functional>

namespace discord {

class Core;

// One object per SDK manager: its listener lists, then its interface, fetched
// from the core on first use.

// The core does not fetch this manager: it carries no operation here.
class ApplicationManager {};

class UserManager {
public:
    Event<> OnCurrentUserUpdate;

private:
    friend class Core;
    IDiscordUserManager* internal_ = nullptr;
};

// The core does not fetch this manager: it carries no operation here.
class ImageManager {};

class ActivityManager {
public:
    // Hands the activity to the SDK; the SDK reports the outcome later, from
    // its run_callbacks, by calling `callback` exactly once.
    void UpdateActivity(DiscordActivity const& activity, std::function<void(Result)> callback);
    // Asks the SDK to clear the presence; the outcome comes as with updates.
    void ClearActivity(std::function<void(Result)> callback);

    Event<char const*> OnActivityJoin;
    Event<char const*> OnActivitySpectate;
    Event<DiscordUser const&> OnActivityJoinRequest;
    Event<EDiscordActivityActionType, DiscordUser const&, DiscordActivity const&> OnActivityInvite;

private:
    friend class Core;
    IDiscordActivityManager* internal_ = nullptr;
};

class RelationshipManager {
public:
    Event<> OnRefresh;
    Event<DiscordRelationship const&> OnRelationshipUpdate;

private:
    friend class Core;
    IDiscordRelationshipManager* internal_ = nullptr;
};

class LobbyManager {
public:
    Event<int64_t> OnLobbyUpdate;
    Event<int64_t, uint32_t> OnLobbyDelete;
    Event<int64_t, int64_t> OnMemberConnect;
    Event<int64_t, int64_t> OnMemberUpdate;
    Event<int64_t, int64_t> OnMemberDisconnect;
    Event<int64_t, int64_t, uint8_t*, uint32_t> OnLobbyMessage;
    Event<int64_t, int64_t, bool> OnSpeaking;
    Event<int64_t, int64_t, uint8_t, uint8_t*, uint32_t> OnNetworkMessage;

private:
    friend class Core;
    IDiscordLobbyManager* internal_ = nullptr;
};

class NetworkManager {
public:
    Event<DiscordNetworkPeerId, DiscordNetworkChannelId, uint8_t*, uint32_t> OnMessage;
    Event<char const*> OnRouteUpdate;

private:
    friend class Core;
    IDiscordNetworkManager* internal_ = nullptr;
};

class OverlayManager {
public:
    Event<bool> OnToggle;

private:
    friend class Core;
    IDiscordOverlayManager* internal_ = nullptr;
};

// The core does not fetch this manager: it carries no operation here.
class StorageManager {};

class StoreManager {
public:
    Event<DiscordEntitlement const&> OnEntitlementCreate;
    Event<DiscordEntitlement const&> OnEntitlementDelete;

private:
    friend class Core;
    IDiscordStoreManager* internal_ = nullptr;
};

class VoiceManager {
public:
    Event<> OnSettingsUpdate;

private:
    friend class Core;
    IDiscordVoiceManager* internal_ = nullptr;
};

class AchievementManager {
public:
    Event<DiscordUserAchievement const&> OnUserAchievementUpdate;

private:
    friend class Core;
    IDiscordAchievementManager* internal_ = nullptr;
};

}  // namespace discord
