#include "discord/core.h"
#include "fake_sdk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using discord::Core;
using discord::Result;

constexpr discord::ClientId kAppId = 1447226862545010708;

class CoreAdapter : public ::testing::Test {
protected:
    void SetUp() override { fakesdk::reset(); }
    void TearDown() override { delete m_core; }

    Core* create()
    {
        EXPECT_EQ(Core::Create(kAppId, DiscordCreateFlags_NoRequireDiscord, &m_core), Result::Ok);
        return m_core;
    }

    Core* m_core = nullptr;
};

TEST_F(CoreAdapter, OkWithoutACoreIsAFailedStartThatDestroysNothing)
{
    fakesdk::state().handOutCore = false;
    m_core = reinterpret_cast<Core*>(0x1);  // must be overwritten
    EXPECT_EQ(Core::Create(kAppId, 1, &m_core), Result::Ok);
    EXPECT_EQ(m_core, nullptr);
    EXPECT_EQ(fakesdk::state().destroyCalls, 0);
}

TEST_F(CoreAdapter, FailureAfterHandingOutACoreDestroysItOnce)
{
    fakesdk::state().createResult = DiscordResult_NotRunning;
    EXPECT_EQ(Core::Create(kAppId, 1, &m_core), Result::NotRunning);
    EXPECT_EQ(m_core, nullptr);
    EXPECT_EQ(fakesdk::state().destroyCalls, 1);
}

TEST_F(CoreAdapter, FailureWithoutACoreReturnsTheCodeUnchanged)
{
    fakesdk::state().createResult = DiscordResult_InternalError;
    fakesdk::state().handOutCore = false;
    EXPECT_EQ(Core::Create(kAppId, 1, &m_core), Result::InternalError);
    EXPECT_EQ(m_core, nullptr);
    EXPECT_EQ(fakesdk::state().destroyCalls, 0);
}

TEST_F(CoreAdapter, HandsDiscordCreateTheVersionIdFlagsAndEventTables)
{
    Core* core = create();
    ASSERT_NE(core, nullptr);
    const fakesdk::State& s = fakesdk::state();
    EXPECT_EQ(s.createCalls, 1);
    EXPECT_EQ(s.createVersion, 2);
    const DiscordCreateParams& p = s.createParams;
    EXPECT_EQ(p.client_id, kAppId);
    EXPECT_EQ(p.flags, 1u);
    EXPECT_EQ(p.events, nullptr);
    EXPECT_EQ(p.event_data, core);
    EXPECT_EQ(p.application_events, nullptr);
    EXPECT_EQ(p.image_events, nullptr);
    EXPECT_EQ(p.storage_events, nullptr);

    ASSERT_NE(p.user_events, nullptr);
    ASSERT_NE(p.activity_events, nullptr);
    ASSERT_NE(p.relationship_events, nullptr);
    ASSERT_NE(p.lobby_events, nullptr);
    ASSERT_NE(p.network_events, nullptr);
    ASSERT_NE(p.overlay_events, nullptr);
    ASSERT_NE(p.store_events, nullptr);
    ASSERT_NE(p.voice_events, nullptr);
    ASSERT_NE(p.achievement_events, nullptr);

    const DiscordVersion versions[] = {p.application_version, p.user_version,    p.image_version,
                                       p.activity_version,    p.relationship_version, p.lobby_version,
                                       p.network_version,     p.overlay_version, p.storage_version,
                                       p.store_version,       p.voice_version,   p.achievement_version};
    for (DiscordVersion version : versions) {
        EXPECT_EQ(version, 1);
    }
    for (int getter = 0; getter < 12; ++getter) {
        EXPECT_EQ(s.getterCalls[getter], 0) << "creation fetched manager " << getter;
    }
}

TEST_F(CoreAdapter, ActivityManagerIsFetchedOnceWhoeverComesFirst)
{
    Core* core = create();
    core->ActivityManager();
    core->ActivityManager().UpdateActivity(DiscordActivity{}, nullptr);
    EXPECT_EQ(fakesdk::state().getterCalls[fakesdk::Activity], 1);

    // A fresh core whose first user is an event handler.
    delete m_core;
    m_core = nullptr;
    fakesdk::reset();
    core = create();
    const DiscordCreateParams p = fakesdk::state().createParams;
    p.activity_events->on_activity_join(p.event_data, "secret");
    EXPECT_EQ(fakesdk::state().getterCalls[fakesdk::Activity], 1);
    core->ActivityManager().UpdateActivity(DiscordActivity{}, nullptr);
    EXPECT_EQ(fakesdk::state().getterCalls[fakesdk::Activity], 1);
    EXPECT_EQ(fakesdk::state().activities.size(), 1u);
}

TEST_F(CoreAdapter, EachHandlerFetchesOnlyItsOwnManager)
{
    create();
    const DiscordCreateParams p = fakesdk::state().createParams;
    void* data = p.event_data;
    const int* calls = fakesdk::state().getterCalls;

    p.user_events->on_current_user_update(data);
    EXPECT_EQ(calls[fakesdk::User], 1);
    p.relationship_events->on_refresh(data);
    p.relationship_events->on_relationship_update(data, nullptr);
    EXPECT_EQ(calls[fakesdk::Relationship], 1);
    p.lobby_events->on_lobby_update(data, 1);
    p.lobby_events->on_speaking(data, 1, 2, true);
    EXPECT_EQ(calls[fakesdk::Lobby], 1);
    p.network_events->on_route_update(data, "r");
    EXPECT_EQ(calls[fakesdk::Network], 1);
    p.overlay_events->on_toggle(data, true);
    EXPECT_EQ(calls[fakesdk::Overlay], 1);
    p.store_events->on_entitlement_delete(data, nullptr);
    EXPECT_EQ(calls[fakesdk::Store], 1);
    p.voice_events->on_settings_update(data);
    EXPECT_EQ(calls[fakesdk::Voice], 1);
    p.achievement_events->on_user_achievement_update(data, nullptr);
    EXPECT_EQ(calls[fakesdk::Achievement], 1);
    EXPECT_EQ(calls[fakesdk::Activity], 0);
    EXPECT_EQ(calls[fakesdk::Application] + calls[fakesdk::Image] + calls[fakesdk::Storage], 0);
}

TEST_F(CoreAdapter, HandlersWithNullEventDataDoNothing)
{
    create();
    const DiscordCreateParams p = fakesdk::state().createParams;
    DiscordUser user{};
    DiscordActivity activity{};
    DiscordRelationship relationship{};
    DiscordEntitlement entitlement{};
    DiscordUserAchievement achievement{};
    uint8_t bytes[1] = {0};
    p.user_events->on_current_user_update(nullptr);
    p.activity_events->on_activity_join(nullptr, "s");
    p.activity_events->on_activity_spectate(nullptr, "s");
    p.activity_events->on_activity_join_request(nullptr, &user);
    p.activity_events->on_activity_invite(nullptr, DiscordActivityActionType_Join, &user, &activity);
    p.relationship_events->on_refresh(nullptr);
    p.relationship_events->on_relationship_update(nullptr, &relationship);
    p.lobby_events->on_lobby_update(nullptr, 1);
    p.lobby_events->on_lobby_delete(nullptr, 1, 2);
    p.lobby_events->on_member_connect(nullptr, 1, 2);
    p.lobby_events->on_member_update(nullptr, 1, 2);
    p.lobby_events->on_member_disconnect(nullptr, 1, 2);
    p.lobby_events->on_lobby_message(nullptr, 1, 2, bytes, 1);
    p.lobby_events->on_speaking(nullptr, 1, 2, false);
    p.lobby_events->on_network_message(nullptr, 1, 2, 3, bytes, 1);
    p.network_events->on_message(nullptr, 1, 2, bytes, 1);
    p.network_events->on_route_update(nullptr, "r");
    p.overlay_events->on_toggle(nullptr, false);
    p.store_events->on_entitlement_create(nullptr, &entitlement);
    p.store_events->on_entitlement_delete(nullptr, &entitlement);
    p.voice_events->on_settings_update(nullptr);
    p.achievement_events->on_user_achievement_update(nullptr, &achievement);
    for (int getter = 0; getter < 12; ++getter) {
        EXPECT_EQ(fakesdk::state().getterCalls[getter], 0);
    }
}

TEST_F(CoreAdapter, HandlersReachListenersAndNoListenerFailureEscapesIntoTheSdk)
{
    Core* core = create();
    std::string joined;
    core->ActivityManager().OnActivityJoin.Connect([&](const char* secret) { joined = secret; });
    core->ActivityManager().OnActivityJoin.Connect([](const char*) { throw std::runtime_error("listener"); });
    core->ActivityManager().OnActivitySpectate.Connect(nullptr);  // an empty slot
    const DiscordCreateParams p = fakesdk::state().createParams;
    EXPECT_NO_THROW(p.activity_events->on_activity_join(p.event_data, "join-secret"));
    EXPECT_NO_THROW(p.activity_events->on_activity_spectate(p.event_data, "s"));
    EXPECT_EQ(joined, "join-secret");
}

TEST_F(CoreAdapter, CompletionRunsItsTargetOnceAndFreesItsHolder)
{
    Core* core = create();
    auto witness = std::make_shared<int>(0);
    std::vector<Result> results;
    core->ActivityManager().UpdateActivity(DiscordActivity{}, [witness, &results](Result r) { results.push_back(r); });
    EXPECT_EQ(witness.use_count(), 2) << "the SDK should hold the completion until it completes";
    fakesdk::completeAll(DiscordResult_TransactionAborted);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], Result::TransactionAborted);
    EXPECT_EQ(witness.use_count(), 1) << "the holder was not freed";
}

TEST_F(CoreAdapter, ThrowingCompletionIsFreedAndStopsThere)
{
    Core* core = create();
    auto witness = std::make_shared<int>(0);
    core->ActivityManager().UpdateActivity(DiscordActivity{}, [witness](Result) { throw std::runtime_error("x"); });
    EXPECT_NO_THROW(fakesdk::completeAll(DiscordResult_Ok));
    EXPECT_EQ(witness.use_count(), 1);
}

TEST_F(CoreAdapter, CompletionWithoutATargetIsFreedQuietly)
{
    Core* core = create();
    core->ActivityManager().UpdateActivity(DiscordActivity{}, std::function<void(Result)>());
    EXPECT_EQ(fakesdk::state().pending.size(), 1u);
    EXPECT_NO_THROW(fakesdk::completeAll(DiscordResult_Ok));
}

TEST_F(CoreAdapter, ClearActivityReachesTheSdkAndCompletesOnce)
{
    Core* core = create();
    std::vector<Result> results;
    core->ActivityManager().ClearActivity([&results](Result r) { results.push_back(r); });
    EXPECT_EQ(fakesdk::state().clearCalls, 1);
    EXPECT_TRUE(fakesdk::state().activities.empty());
    fakesdk::completeAll(DiscordResult_Ok);
    EXPECT_EQ(results, std::vector<Result>{Result::Ok});
}

TEST_F(CoreAdapter, UpdateActivityHandsTheRecordOver)
{
    Core* core = create();
    DiscordActivity activity{};
    activity.timestamps.start = 1700000000;
    std::snprintf(activity.details, sizeof activity.details, "%s", "Lobby");
    core->ActivityManager().UpdateActivity(activity, nullptr);
    ASSERT_EQ(fakesdk::state().activities.size(), 1u);
    EXPECT_STREQ(fakesdk::state().activities[0].details, "Lobby");
    EXPECT_EQ(fakesdk::state().activities[0].timestamps.start, 1700000000);
}

TEST_F(CoreAdapter, RunCallbacksReturnsTheSdkCodeUnchanged)
{
    Core* core = create();
    EXPECT_EQ(core->RunCallbacks(), Result::Ok);
    fakesdk::state().runCallbacksResult = DiscordResult_NotRunning;
    EXPECT_EQ(core->RunCallbacks(), Result::NotRunning);
    fakesdk::state().runCallbacksResult = static_cast<EDiscordResult>(4242);
    EXPECT_EQ(static_cast<int>(core->RunCallbacks()), 4242);
    EXPECT_EQ(fakesdk::state().runCallbacksCalls, 3);
}

TEST_F(CoreAdapter, DeletingALiveCoreDestroysItOnce)
{
    create();
    delete m_core;
    m_core = nullptr;
    EXPECT_EQ(fakesdk::state().destroyCalls, 1);
}

}  // namespace
