/*
 * Discord Game SDK, C interface version 2: the part that presence programs use.
 * Written from the interface's published facts: records, function-table orders,
 * event handlers, result numbers. The calling convention is the platform's
 * default (cdecl on 32-bit x86).
 */
#ifndef ORVPRESD_DISCORD_GAME_SDK_H
#define ORVPRESD_DISCORD_GAME_SDK_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DISCORD_VERSION 2
#define DISCORD_APPLICATION_MANAGER_VERSION 1
#define DISCORD_USER_MANAGER_VERSION 1
#define DISCORD_IMAGE_MANAGER_VERSION 1
#define DISCORD_ACTIVITY_MANAGER_VERSION 1
#define DISCORD_RELATIONSHIP_MANAGER_VERSION 1
#define DISCORD_LOBBY_MANAGER_VERSION 1
#define DISCORD_NETWORK_MANAGER_VERSION 1
#define DISCORD_OVERLAY_MANAGER_VERSION 1
#define DISCORD_STORAGE_MANAGER_VERSION 1
#define DISCORD_STORE_MANAGER_VERSION 1
#define DISCORD_VOICE_MANAGER_VERSION 1
#define DISCORD_ACHIEVEMENT_MANAGER_VERSION 1

#if defined(DISCORD_BUILDING_SDK)
#if defined(_WIN32)
#define DISCORD_EXPORT __declspec(dllexport)
#else
#define DISCORD_EXPORT __attribute__((visibility("default")))
#endif
#else
#define DISCORD_EXPORT
#endif

/* In C++ every enum is given its C size as a fixed type, so that any value a
 * caller or another SDK build passes (a newer result code, say) is a valid
 * value of the enum rather than undefined behaviour. The layout is the C one. */
#ifdef __cplusplus
#define DISCORD_ENUM(name) enum name : int
#else
#define DISCORD_ENUM(name) enum name
#endif

DISCORD_ENUM(EDiscordResult) {
    DiscordResult_Ok = 0,
    DiscordResult_ServiceUnavailable = 1,
    DiscordResult_InvalidVersion = 2,
    DiscordResult_LockFailed = 3,
    DiscordResult_InternalError = 4,
    DiscordResult_InvalidPayload = 5,
    DiscordResult_InvalidCommand = 6,
    DiscordResult_InvalidPermissions = 7,
    DiscordResult_NotFetched = 8,
    DiscordResult_NotFound = 9,
    DiscordResult_Conflict = 10,
    DiscordResult_InvalidSecret = 11,
    DiscordResult_InvalidJoinSecret = 12,
    DiscordResult_NoEligibleActivity = 13,
    DiscordResult_InvalidInvite = 14,
    DiscordResult_NotAuthenticated = 15,
    DiscordResult_InvalidAccessToken = 16,
    DiscordResult_ApplicationMismatch = 17,
    DiscordResult_InvalidDataUrl = 18,
    DiscordResult_InvalidBase64 = 19,
    DiscordResult_NotFiltered = 20,
    DiscordResult_LobbyFull = 21,
    DiscordResult_InvalidLobbySecret = 22,
    DiscordResult_InvalidFilename = 23,
    DiscordResult_InvalidFileSize = 24,
    DiscordResult_InvalidEntitlement = 25,
    DiscordResult_NotInstalled = 26,
    DiscordResult_NotRunning = 27,
    DiscordResult_InsufficientBuffer = 28,
    DiscordResult_PurchaseCanceled = 29,
    DiscordResult_InvalidGuild = 30,
    DiscordResult_InvalidEvent = 31,
    DiscordResult_InvalidChannel = 32,
    DiscordResult_InvalidOrigin = 33,
    DiscordResult_RateLimited = 34,
    DiscordResult_OAuth2Error = 35,
    DiscordResult_SelectChannelTimeout = 36,
    DiscordResult_GetGuildTimeout = 37,
    DiscordResult_SelectVoiceForceRequired = 38,
    DiscordResult_CaptureShortcutAlreadyListening = 39,
    DiscordResult_UnauthorizedForAchievement = 40,
    DiscordResult_InvalidGiftCode = 41,
    DiscordResult_PurchaseError = 42,
    DiscordResult_TransactionAborted = 43,
};

DISCORD_ENUM(EDiscordCreateFlags) {
    DiscordCreateFlags_Default = 0,
    DiscordCreateFlags_NoRequireDiscord = 1,
};

DISCORD_ENUM(EDiscordLogLevel) {
    DiscordLogLevel_Error = 1,
    DiscordLogLevel_Warn = 2,
    DiscordLogLevel_Info = 3,
    DiscordLogLevel_Debug = 4,
};

DISCORD_ENUM(EDiscordActivityType) {
    DiscordActivityType_Playing = 0,
    DiscordActivityType_Streaming = 1,
    DiscordActivityType_Listening = 2,
    DiscordActivityType_Watching = 3,
};

DISCORD_ENUM(EDiscordActivityActionType) {
    DiscordActivityActionType_Join = 1,
    DiscordActivityActionType_Spectate = 2,
};

DISCORD_ENUM(EDiscordActivityJoinRequestReply) {
    DiscordActivityJoinRequestReply_No = 0,
    DiscordActivityJoinRequestReply_Yes = 1,
    DiscordActivityJoinRequestReply_Ignore = 2,
};

DISCORD_ENUM(EDiscordRelationshipType) {
    DiscordRelationshipType_None = 0,
};

DISCORD_ENUM(EDiscordStatus) {
    DiscordStatus_Offline = 0,
};

DISCORD_ENUM(EDiscordEntitlementType) {
    DiscordEntitlementType_Purchase = 1,
};

typedef int64_t DiscordClientId;
typedef int32_t DiscordVersion;
typedef int64_t DiscordSnowflake;
typedef int64_t DiscordTimestamp;
typedef DiscordSnowflake DiscordUserId;
typedef DiscordSnowflake DiscordLobbyId;
typedef uint64_t DiscordNetworkPeerId;
typedef uint8_t DiscordNetworkChannelId;

struct DiscordUser {
    DiscordUserId id;
    char username[256];
    char discriminator[8];
    char avatar[128];
    bool bot;
};

struct DiscordActivityTimestamps {
    DiscordTimestamp start;
    DiscordTimestamp end;
};

struct DiscordActivityAssets {
    char large_image[128];
    char large_text[128];
    char small_image[128];
    char small_text[128];
};

struct DiscordPartySize {
    int32_t current_size;
    int32_t max_size;
};

struct DiscordActivityParty {
    char id[128];
    struct DiscordPartySize size;
};

struct DiscordActivitySecrets {
    char match[128];
    char join[128];
    char spectate[128];
};

struct DiscordActivity {
    enum EDiscordActivityType type;
    int64_t application_id;
    char name[128];
    char state[128];
    char details[128];
    struct DiscordActivityTimestamps timestamps;
    struct DiscordActivityAssets assets;
    struct DiscordActivityParty party;
    struct DiscordActivitySecrets secrets;
    bool instance;
};

struct DiscordPresence {
    enum EDiscordStatus status;
    struct DiscordActivity activity;
};

struct DiscordRelationship {
    enum EDiscordRelationshipType type;
    struct DiscordUser user;
    struct DiscordPresence presence;
};

struct DiscordEntitlement {
    DiscordSnowflake id;
    enum EDiscordEntitlementType type;
    DiscordSnowflake sku_id;
};

struct DiscordUserAchievement {
    DiscordSnowflake user_id;
    DiscordSnowflake achievement_id;
    uint8_t percent_complete;
    char unlocked_at[64];
};

/* Managers whose tables this interface subset does not lay out. */
struct IDiscordApplicationManager;
struct IDiscordUserManager;
struct IDiscordImageManager;
struct IDiscordRelationshipManager;
struct IDiscordLobbyManager;
struct IDiscordNetworkManager;
struct IDiscordOverlayManager;
struct IDiscordStorageManager;
struct IDiscordStoreManager;
struct IDiscordVoiceManager;
struct IDiscordAchievementManager;

typedef void* IDiscordApplicationEvents;
typedef void* IDiscordImageEvents;
typedef void* IDiscordStorageEvents;
typedef void* IDiscordCoreEvents;

struct IDiscordUserEvents {
    void (*on_current_user_update)(void* event_data);
};

struct IDiscordActivityEvents {
    void (*on_activity_join)(void* event_data, const char* secret);
    void (*on_activity_spectate)(void* event_data, const char* secret);
    void (*on_activity_join_request)(void* event_data, struct DiscordUser* user);
    void (*on_activity_invite)(void* event_data, enum EDiscordActivityActionType type, struct DiscordUser* user,
                               struct DiscordActivity* activity);
};

struct IDiscordRelationshipEvents {
    void (*on_refresh)(void* event_data);
    void (*on_relationship_update)(void* event_data, struct DiscordRelationship* relationship);
};

struct IDiscordLobbyEvents {
    void (*on_lobby_update)(void* event_data, int64_t lobby_id);
    void (*on_lobby_delete)(void* event_data, int64_t lobby_id, uint32_t reason);
    void (*on_member_connect)(void* event_data, int64_t lobby_id, int64_t user_id);
    void (*on_member_update)(void* event_data, int64_t lobby_id, int64_t user_id);
    void (*on_member_disconnect)(void* event_data, int64_t lobby_id, int64_t user_id);
    void (*on_lobby_message)(void* event_data, int64_t lobby_id, int64_t user_id, uint8_t* data, uint32_t data_length);
    void (*on_speaking)(void* event_data, int64_t lobby_id, int64_t user_id, bool speaking);
    void (*on_network_message)(void* event_data, int64_t lobby_id, int64_t user_id, uint8_t channel_id,
                               uint8_t* data, uint32_t data_length);
};

struct IDiscordNetworkEvents {
    void (*on_message)(void* event_data, DiscordNetworkPeerId peer_id, DiscordNetworkChannelId channel_id,
                       uint8_t* data, uint32_t data_length);
    void (*on_route_update)(void* event_data, const char* route_data);
};

struct IDiscordOverlayEvents {
    void (*on_toggle)(void* event_data, bool locked);
};

struct IDiscordStoreEvents {
    void (*on_entitlement_create)(void* event_data, struct DiscordEntitlement* entitlement);
    void (*on_entitlement_delete)(void* event_data, struct DiscordEntitlement* entitlement);
};

struct IDiscordVoiceEvents {
    void (*on_settings_update)(void* event_data);
};

struct IDiscordAchievementEvents {
    void (*on_user_achievement_update)(void* event_data, struct DiscordUserAchievement* user_achievement);
};

typedef void (*DiscordResultCallback)(void* callback_data, enum EDiscordResult result);

struct IDiscordActivityManager {
    enum EDiscordResult (*register_command)(struct IDiscordActivityManager* manager, const char* command);
    enum EDiscordResult (*register_steam)(struct IDiscordActivityManager* manager, uint32_t steam_id);
    void (*update_activity)(struct IDiscordActivityManager* manager, struct DiscordActivity* activity,
                            void* callback_data, DiscordResultCallback callback);
    void (*clear_activity)(struct IDiscordActivityManager* manager, void* callback_data,
                           DiscordResultCallback callback);
    void (*send_request_reply)(struct IDiscordActivityManager* manager, DiscordUserId user_id,
                               enum EDiscordActivityJoinRequestReply reply, void* callback_data,
                               DiscordResultCallback callback);
    void (*send_invite)(struct IDiscordActivityManager* manager, DiscordUserId user_id,
                        enum EDiscordActivityActionType type, const char* content, void* callback_data,
                        DiscordResultCallback callback);
    void (*accept_invite)(struct IDiscordActivityManager* manager, DiscordUserId user_id, void* callback_data,
                          DiscordResultCallback callback);
};

typedef void (*DiscordLogHook)(void* hook_data, enum EDiscordLogLevel level, const char* message);

struct IDiscordCore {
    void (*destroy)(struct IDiscordCore* core);
    enum EDiscordResult (*run_callbacks)(struct IDiscordCore* core);
    void (*set_log_hook)(struct IDiscordCore* core, enum EDiscordLogLevel min_level, void* hook_data,
                         DiscordLogHook hook);
    struct IDiscordApplicationManager* (*get_application_manager)(struct IDiscordCore* core);
    struct IDiscordUserManager* (*get_user_manager)(struct IDiscordCore* core);
    struct IDiscordImageManager* (*get_image_manager)(struct IDiscordCore* core);
    struct IDiscordActivityManager* (*get_activity_manager)(struct IDiscordCore* core);
    struct IDiscordRelationshipManager* (*get_relationship_manager)(struct IDiscordCore* core);
    struct IDiscordLobbyManager* (*get_lobby_manager)(struct IDiscordCore* core);
    struct IDiscordNetworkManager* (*get_network_manager)(struct IDiscordCore* core);
    struct IDiscordOverlayManager* (*get_overlay_manager)(struct IDiscordCore* core);
    struct IDiscordStorageManager* (*get_storage_manager)(struct IDiscordCore* core);
    struct IDiscordStoreManager* (*get_store_manager)(struct IDiscordCore* core);
    struct IDiscordVoiceManager* (*get_voice_manager)(struct IDiscordCore* core);
    struct IDiscordAchievementManager* (*get_achievement_manager)(struct IDiscordCore* core);
};

struct DiscordCreateParams {
    DiscordClientId client_id;
    uint64_t flags;
    IDiscordCoreEvents* events;
    void* event_data;
    IDiscordApplicationEvents* application_events;
    DiscordVersion application_version;
    struct IDiscordUserEvents* user_events;
    DiscordVersion user_version;
    IDiscordImageEvents* image_events;
    DiscordVersion image_version;
    struct IDiscordActivityEvents* activity_events;
    DiscordVersion activity_version;
    struct IDiscordRelationshipEvents* relationship_events;
    DiscordVersion relationship_version;
    struct IDiscordLobbyEvents* lobby_events;
    DiscordVersion lobby_version;
    struct IDiscordNetworkEvents* network_events;
    DiscordVersion network_version;
    struct IDiscordOverlayEvents* overlay_events;
    DiscordVersion overlay_version;
    IDiscordStorageEvents* storage_events;
    DiscordVersion storage_version;
    struct IDiscordStoreEvents* store_events;
    DiscordVersion store_version;
    struct IDiscordVoiceEvents* voice_events;
    DiscordVersion voice_version;
    struct IDiscordAchievementEvents* achievement_events;
    DiscordVersion achievement_version;
};

DISCORD_EXPORT enum EDiscordResult DiscordCreate(DiscordVersion version, struct DiscordCreateParams* params,
                                                 struct IDiscordCore** result);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(DiscordActivity) == 1456, "DiscordActivity layout of interface version 2");
static_assert(sizeof(DiscordActivityAssets) == 512, "DiscordActivityAssets layout");
static_assert(sizeof(EDiscordResult) == 4, "enums are 32-bit");
#else
_Static_assert(sizeof(struct DiscordActivity) == 1456, "DiscordActivity layout of interface version 2");
#endif

#endif /* ORVPRESD_DISCORD_GAME_SDK_H */
