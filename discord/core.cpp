#include "discord/core.h"

#include "discord/event_tables.h"

#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

namespace discord {
namespace {

// Fetches a manager's interface from the SDK once and keeps it.
template <typename Interface>
void fetchOnce(IDiscordCore* core, Interface*& cached, Interface* (*IDiscordCore::*getter)(IDiscordCore*))
{
    if (!cached && core && core->*getter) {
        cached = (core->*getter)(core);
    }
}

// The SDK's C callback: no exception may go back through it.
void logHookThunk(void* data, EDiscordLogLevel level, const char* message) noexcept
{
    try {
        (*static_cast<Event<EDiscordLogLevel, char const*>*>(data))(level, message ? message : "");
    } catch (...) {
        // a diagnostic that cannot be recorded is dropped
    }
}

// Our SDK library's export for the diagnostics of a failed DiscordCreate;
// the vendor's library has none.
using TakeCreateLog = uint32_t (*)(void* data, DiscordLogHook hook);

TakeCreateLog findTakeCreateLog()
{
#ifdef _WIN32
    HMODULE sdk = GetModuleHandleW(L"discord_game_sdk.dll");
    if (!sdk) {
        return nullptr;
    }
    return reinterpret_cast<TakeCreateLog>(reinterpret_cast<void*>(GetProcAddress(sdk, "OrvSdkTakeCreateLog")));
#else
    return nullptr;
#endif
}

void failureLogThunk(void* data, EDiscordLogLevel level, const char* message) noexcept
{
    try {
        (*static_cast<std::function<void(EDiscordLogLevel, char const*)>*>(data))(level, message ? message : "");
    } catch (...) {
        // a diagnostic that cannot be recorded is dropped
    }
}

}  // namespace

Result Core::Create(ClientId clientId, uint64_t flags, Core** instance,
                    const std::function<void(EDiscordLogLevel, char const*)>& failureLog)
{
    const Result result = Create(clientId, flags, instance);
    if (result != Result::Ok && failureLog) {
        if (const TakeCreateLog take = findTakeCreateLog()) {
            try {
                std::function<void(EDiscordLogLevel, char const*)> log = failureLog;
                take(&log, &failureLogThunk);
            } catch (...) {
                // no memory for the copy: the diagnostics are dropped
            }
        }
    }
    return result;
}

Result Core::Create(ClientId clientId, uint64_t flags, Core** instance)
{
    if (!instance) {
        return Result::InternalError;
    }
    *instance = new Core();

    DiscordCreateParams params{};
    params.client_id = clientId;
    params.flags = flags;
    params.events = nullptr;
    params.event_data = *instance;
    params.application_events = nullptr;
    params.application_version = DISCORD_APPLICATION_MANAGER_VERSION;
    params.user_events = &g_userEvents;
    params.user_version = DISCORD_USER_MANAGER_VERSION;
    params.image_events = nullptr;
    params.image_version = DISCORD_IMAGE_MANAGER_VERSION;
    params.activity_events = &g_activityEvents;
    params.activity_version = DISCORD_ACTIVITY_MANAGER_VERSION;
    params.relationship_events = &g_relationshipEvents;
    params.relationship_version = DISCORD_RELATIONSHIP_MANAGER_VERSION;
    params.lobby_events = &g_lobbyEvents;
    params.lobby_version = DISCORD_LOBBY_MANAGER_VERSION;
    params.network_events = &g_networkEvents;
    params.network_version = DISCORD_NETWORK_MANAGER_VERSION;
    params.overlay_events = &g_overlayEvents;
    params.overlay_version = DISCORD_OVERLAY_MANAGER_VERSION;
    params.storage_events = nullptr;
    params.storage_version = DISCORD_STORAGE_MANAGER_VERSION;
    params.store_events = &g_storeEvents;
    params.store_version = DISCORD_STORE_MANAGER_VERSION;
    params.voice_events = &g_voiceEvents;
    params.voice_version = DISCORD_VOICE_MANAGER_VERSION;
    params.achievement_events = &g_achievementEvents;
    params.achievement_version = DISCORD_ACHIEVEMENT_MANAGER_VERSION;

    const auto result = static_cast<Result>(DiscordCreate(DISCORD_VERSION, &params, &(*instance)->internal_));
    if (result != Result::Ok || !(*instance)->internal_) {
        delete *instance;
        *instance = nullptr;
    }
    return result;
}

Core::~Core()
{
    if (internal_) {
        internal_->destroy(internal_);
        internal_ = nullptr;
    }
}

Result Core::RunCallbacks()
{
    return static_cast<Result>(internal_->run_callbacks(internal_));
}

void Core::SetLogHook(EDiscordLogLevel minLevel, std::function<void(EDiscordLogLevel, char const*)> hook)
{
    setLogHook_.DisconnectAll();
    if (hook) {
        setLogHook_.Connect(std::move(hook));
    }
    if (internal_ && internal_->set_log_hook) {
        internal_->set_log_hook(internal_, minLevel, &setLogHook_, &logHookThunk);
    }
}

UserManager& Core::UserManager()
{
    fetchOnce(internal_, userManager_.internal_, &IDiscordCore::get_user_manager);
    return userManager_;
}

ActivityManager& Core::ActivityManager()
{
    fetchOnce(internal_, activityManager_.internal_, &IDiscordCore::get_activity_manager);
    return activityManager_;
}

RelationshipManager& Core::RelationshipManager()
{
    fetchOnce(internal_, relationshipManager_.internal_, &IDiscordCore::get_relationship_manager);
    return relationshipManager_;
}

LobbyManager& Core::LobbyManager()
{
    fetchOnce(internal_, lobbyManager_.internal_, &IDiscordCore::get_lobby_manager);
    return lobbyManager_;
}

NetworkManager& Core::NetworkManager()
{
    fetchOnce(internal_, networkManager_.internal_, &IDiscordCore::get_network_manager);
    return networkManager_;
}

OverlayManager& Core::OverlayManager()
{
    fetchOnce(internal_, overlayManager_.internal_, &IDiscordCore::get_overlay_manager);
    return overlayManager_;
}

StoreManager& Core::StoreManager()
{
    fetchOnce(internal_, storeManager_.internal_, &IDiscordCore::get_store_manager);
    return storeManager_;
}

VoiceManager& Core::VoiceManager()
{
    fetchOnce(internal_, voiceManager_.internal_, &IDiscordCore::get_voice_manager);
    return voiceManager_;
}

AchievementManager& Core::AchievementManager()
{
    fetchOnce(internal_, achievementManager_.internal_, &IDiscordCore::get_achievement_manager);
    return achievementManager_;
}

}  // namespace discord
