#pragma once

// A test double of the SDK library: DiscordCreate and the core and activity
// tables, recording every call, with outcomes the test chooses.
#include "discord/discord_game_sdk.h"

#include <functional>
#include <utility>
#include <vector>

namespace fakesdk {

struct PendingCompletion {
    void* data;
    DiscordResultCallback callback;
};

struct State {
    // What DiscordCreate does.
    EDiscordResult createResult = DiscordResult_Ok;
    bool handOutCore = true;
    EDiscordResult runCallbacksResult = DiscordResult_Ok;
    // A completion of update_activity that runs inside update_activity itself.
    bool completeInline = false;
    // Runs inside DiscordCreate, before it answers.
    std::function<void()> onCreate;

    // What was called.
    int createCalls = 0;
    DiscordVersion createVersion = 0;
    DiscordCreateParams createParams{};
    int destroyCalls = 0;
    int runCallbacksCalls = 0;
    int getterCalls[12] = {};  // by getter, in table order: application .. achievement
    std::vector<DiscordActivity> activities;
    int clearCalls = 0;
    std::vector<PendingCompletion> pending;
};

State& state();
void reset();

IDiscordCore* core();
IDiscordActivityManager* activityManager();

// Completes every pending update with this result, in order.
void completeAll(EDiscordResult result);

enum Getter { Application, User, Image, Activity, Relationship, Lobby, Network, Overlay, Storage, Store, Voice, Achievement };

}  // namespace fakesdk
