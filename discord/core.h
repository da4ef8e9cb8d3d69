#pragma once

#include "discord/discord_game_sdk.h"
#include "discord/event.h"
#include "discord/managers.h"
#include "discord/result.h"

#include <cstdint>
#include <functional>

namespace discord {

using ClientId = int64_t;

// Owns the SDK core and one object per SDK manager. The SDK calls back into
// it (events, completions) only from RunCallbacks.
class Core {
public:
    // Creates a core and stores it in *instance. *instance stays set only when
    // the SDK answered Ok and handed out its core; otherwise it is null. The
    // SDK's result is returned unchanged.
    static Result Create(ClientId clientId, uint64_t flags, Core** instance);
    // The same; when it fails, what the SDK had to say about it (the
    // endpoints it gave up and why, Discord's refusal) goes to failureLog, on
    // this thread, before it returns. Only our SDK library tells it; with the
    // vendor's, failureLog hears nothing.
    static Result Create(ClientId clientId, uint64_t flags, Core** instance,
                         const std::function<void(EDiscordLogLevel, char const*)>& failureLog);

    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Runs the SDK's pending callbacks; the SDK's result, unchanged.
    Result RunCallbacks();

    // The SDK's diagnostics at minLevel and more severe go to hook, on the
    // thread that runs RunCallbacks, inside it; those it raised before (while
    // connecting) come with the first RunCallbacks after. Replaces any
    // earlier hook. Never called once the core is gone.
    void SetLogHook(EDiscordLogLevel minLevel, std::function<void(EDiscordLogLevel, char const*)> hook);

    discord::UserManager& UserManager();
    discord::ActivityManager& ActivityManager();
    discord::RelationshipManager& RelationshipManager();
    discord::LobbyManager& LobbyManager();
    discord::NetworkManager& NetworkManager();
    discord::OverlayManager& OverlayManager();
    discord::StoreManager& StoreManager();
    discord::VoiceManager& VoiceManager();
    discord::AchievementManager& AchievementManager();

private:
    Core() = default;

    IDiscordCore* internal_ = nullptr;
    Event<EDiscordLogLevel, char const*> setLogHook_;
    // The application, image and storage managers are not carried: no member.
    discord::UserManager userManager_;
    discord::ActivityManager activityManager_;
    discord::RelationshipManager relationshipManager_;
    discord::LobbyManager lobbyManager_;
    discord::NetworkManager networkManager_;
    discord::OverlayManager overlayManager_;
    discord::StoreManager storeManager_;
    discord::VoiceManager voiceManager_;
    discord::AchievementManager achievementManager_;
};

}  // namespace discord
