#include "fake_sdk.h"

namespace fakesdk {
namespace {

State g_state;
char g_managers[12];  // distinct addresses handed out as manager interfaces

// As the real library does, destroy completes what is still pending.
void destroy(IDiscordCore*)
{
    ++g_state.destroyCalls;
    completeAll(DiscordResult_NotRunning);
}

EDiscordResult runCallbacks(IDiscordCore*)
{
    ++g_state.runCallbacksCalls;
    completeAll(DiscordResult_Ok);
    return g_state.runCallbacksResult;
}

void setLogHook(IDiscordCore*, EDiscordLogLevel, void*, DiscordLogHook) {}

template <int Index, typename Manager>
Manager* getter(IDiscordCore*)
{
    ++g_state.getterCalls[Index];
    if (Index == Activity) {
        return reinterpret_cast<Manager*>(activityManager());
    }
    return reinterpret_cast<Manager*>(&g_managers[Index]);
}

void updateActivity(IDiscordActivityManager*, DiscordActivity* activity, void* data, DiscordResultCallback callback)
{
    g_state.activities.push_back(*activity);
    if (g_state.completeInline) {
        callback(data, DiscordResult_Ok);
        return;
    }
    g_state.pending.push_back({data, callback});
}

void clearActivity(IDiscordActivityManager*, void* data, DiscordResultCallback callback)
{
    ++g_state.clearCalls;
    g_state.pending.push_back({data, callback});
}

IDiscordCore g_core = {
    destroy,
    runCallbacks,
    setLogHook,
    getter<Application, IDiscordApplicationManager>,
    getter<User, IDiscordUserManager>,
    getter<Image, IDiscordImageManager>,
    getter<Activity, IDiscordActivityManager>,
    getter<Relationship, IDiscordRelationshipManager>,
    getter<Lobby, IDiscordLobbyManager>,
    getter<Network, IDiscordNetworkManager>,
    getter<Overlay, IDiscordOverlayManager>,
    getter<Storage, IDiscordStorageManager>,
    getter<Store, IDiscordStoreManager>,
    getter<Voice, IDiscordVoiceManager>,
    getter<Achievement, IDiscordAchievementManager>,
};

IDiscordActivityManager g_activityManager = {nullptr, nullptr, updateActivity, clearActivity, nullptr, nullptr, nullptr};

}  // namespace

State& state()
{
    return g_state;
}

void reset()
{
    g_state = State();
}

IDiscordCore* core()
{
    return &g_core;
}

IDiscordActivityManager* activityManager()
{
    return &g_activityManager;
}

void completeAll(EDiscordResult result)
{
    std::vector<PendingCompletion> due;
    due.swap(g_state.pending);
    for (const PendingCompletion& completion : due) {
        completion.callback(completion.data, result);
    }
}

}  // namespace fakesdk

extern "C" EDiscordResult DiscordCreate(DiscordVersion version, DiscordCreateParams* params, IDiscordCore** result)
{
    fakesdk::State& s = fakesdk::state();
    ++s.createCalls;
    s.createVersion = version;
    s.createParams = *params;
    if (s.onCreate) {
        s.onCreate();
    }
    if (s.handOutCore) {
        *result = fakesdk::core();
    }
    return s.createResult;
}
