// The SDK's C interface as a program sees it, through the shared library.
#include "discord/discord_game_sdk.h"
#include "peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace {

using namespace std::chrono_literals;

#ifndef ORV_SANITIZED_ALLOCATOR
// While set on a thread, every allocation there fails with std::bad_alloc.
thread_local bool t_failAllocations = false;
// Allocations made on this thread.
thread_local long t_allocations = 0;
#endif

struct Outcome {
    int calls = 0;
    EDiscordResult result = DiscordResult_InternalError;
};

void remember(void* data, EDiscordResult result)
{
    auto* outcome = static_cast<Outcome*>(data);
    ++outcome->calls;
    outcome->result = result;
}

std::vector<std::string> g_logs;
void logHook(void*, EDiscordLogLevel level, const char* message)
{
    g_logs.push_back(std::to_string(level) + ":" + message);
}

class SdkApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvsdk-api-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (m_peer) {
            m_peer->stop();
        }
        std::filesystem::remove_all(m_dir);
    }
    void startPeer(discordpeer::Options o = {})
    {
        o.endpoint = m_dir + "/discord-ipc-0";
        m_peer = std::make_unique<discordpeer::Peer>(o);
        ASSERT_TRUE(m_peer->start());
    }
    static DiscordCreateParams params()
    {
        DiscordCreateParams p{};
        p.client_id = 1447226862545010708;
        p.flags = DiscordCreateFlags_NoRequireDiscord;
        return p;
    }

    std::string m_dir;
    std::unique_ptr<discordpeer::Peer> m_peer;
};

TEST_F(SdkApi, RefusesOtherVersionsAndReportsNoDiscord)
{
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    EXPECT_EQ(DiscordCreate(1, &p, &core), DiscordResult_InvalidVersion);
    EXPECT_EQ(DiscordCreate(2, &p, &core), DiscordResult_NotRunning);
    EXPECT_EQ(core, nullptr);
}

TEST_F(SdkApi, PublishesAnActivityAndCompletesItInRunCallbacks)
{
    startPeer();
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
    ASSERT_NE(core, nullptr);
    g_logs.clear();
    core->set_log_hook(core, DiscordLogLevel_Debug, nullptr, logHook);

    IDiscordActivityManager* activities = core->get_activity_manager(core);
    ASSERT_NE(activities, nullptr);
    DiscordActivity activity{};
    std::strcpy(activity.details, "Racing");
    std::strcpy(activity.state, "Lap 2");
    activity.timestamps.start = 1700000000;
    Outcome outcome;
    activities->update_activity(activities, &activity, &outcome, remember);
    std::memset(&activity, 0, sizeof activity);  // the SDK must have taken its copy

    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (outcome.calls == 0 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(core->run_callbacks(core), DiscordResult_Ok);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.result, DiscordResult_Ok);
    EXPECT_FALSE(g_logs.empty()) << "the debug hook heard nothing";

    const auto frames = discordpeer::framesWithOpcode(m_peer->records(), 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["json"]["args"]["activity"],
              nlohmann::json::parse(R"({"details":"Racing","state":"Lap 2","timestamps":{"start":1700000000}})"));

    // Managers this library does not carry answer with a clear code.
    using Operation = EDiscordResult (*)();
    auto* users = reinterpret_cast<Operation*>(core->get_user_manager(core));
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(users[0](), DiscordResult_InvalidCommand);
    EXPECT_EQ(activities->register_command(activities, "x"), DiscordResult_InvalidCommand);

    core->destroy(core);
}

// What DiscordCreate had to say (an endpoint it would not use) waits for the
// first hook, at that hook's level, and is delivered inside run_callbacks.
TEST_F(SdkApi, DiagnosticsOfTheConnectReachTheFirstHook)
{
    std::filesystem::create_directories(m_dir + "/discord-ipc-0");  // no socket: not used
    discordpeer::Options o;
    o.endpoint = m_dir + "/discord-ipc-1";
    m_peer = std::make_unique<discordpeer::Peer>(o);
    ASSERT_TRUE(m_peer->start());
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
    g_logs.clear();
    core->set_log_hook(core, DiscordLogLevel_Warn, nullptr, logHook);
    EXPECT_TRUE(g_logs.empty()) << "a hook is called only inside run_callbacks";
    core->run_callbacks(core);
    ASSERT_EQ(g_logs.size(), 1u) << "only the warning, not the info that followed it";
    EXPECT_NE(g_logs[0].find("2:" + m_dir + "/discord-ipc-0 is not a socket"), std::string::npos) << g_logs[0];
    core->destroy(core);
}

// Not the vendor's: our library's diagnostics of a failed DiscordCreate.
extern "C" uint32_t OrvSdkTakeCreateLog(void* data, DiscordLogHook hook);

// A create that fails has no core to hang a hook on: what it had to say
// (each endpoint given up and why, in Discord's words) is handed over once.
TEST_F(SdkApi, DiagnosticsOfAFailedCreateAreHandedOverOnce)
{
    discordpeer::Options o;
    o.closeHandshakeCode = 4000;
    startPeer(o);
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    EXPECT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_ApplicationMismatch);
    g_logs.clear();
    EXPECT_GE(OrvSdkTakeCreateLog(nullptr, logHook), 1u);
    EXPECT_TRUE(std::any_of(g_logs.begin(), g_logs.end(), [&](const std::string& l) {
        return l.find(m_dir + "/discord-ipc-0 given up") != std::string::npos &&
               l.find(R"("message":"Invalid Client ID")") != std::string::npos;
    })) << ::testing::PrintToString(g_logs);
    EXPECT_EQ(OrvSdkTakeCreateLog(nullptr, logHook), 0u) << "handed over twice";
    // Only the last create's: one that fails early leaves nothing of the one before.
    EXPECT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_ApplicationMismatch);
    EXPECT_EQ(DiscordCreate(DISCORD_VERSION + 1, &p, &core), DiscordResult_InvalidVersion);
    EXPECT_EQ(OrvSdkTakeCreateLog(nullptr, logHook), 0u) << "an earlier create's diagnostics";
}

// However many refusals Discord's side sends, the hook hears a few per
// run_callbacks, in Discord's words, and a count of the rest.
TEST_F(SdkApi, AFloodOfRefusalsReachesTheHookAsAFewLinesAndACount)
{
    discordpeer::Options o;
    o.errorFlood = 38;
    startPeer(o);
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
    core->set_log_hook(core, DiscordLogLevel_Info, nullptr, logHook);
    core->run_callbacks(core);
    g_logs.clear();
    IDiscordActivityManager* activities = core->get_activity_manager(core);
    DiscordActivity activity{};
    std::strcpy(activity.details, "flooded");
    activities->update_activity(activities, &activity, nullptr, nullptr);
    // Every run until the loss shows, each within the cap: eight messages,
    // a count line per kind and one for the rest, 2 KiB in all.
    std::vector<std::string> all;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    EDiscordResult result = DiscordResult_Ok;
    while (std::chrono::steady_clock::now() < deadline && result == DiscordResult_Ok) {
        std::this_thread::sleep_for(5ms);
        g_logs.clear();
        result = core->run_callbacks(core);
        size_t bytes = 0;
        for (const std::string& l : g_logs) {
            bytes += l.size() - l.find(':') - 1;
        }
        EXPECT_LE(g_logs.size(), 13u) << ::testing::PrintToString(g_logs);
        EXPECT_LE(bytes, 2048u) << ::testing::PrintToString(g_logs);
        all.insert(all.end(), g_logs.begin(), g_logs.end());
    }
    g_logs = all;
    EXPECT_EQ(result, DiscordResult_NotRunning);
    ASSERT_FALSE(g_logs.empty());
    EXPECT_NE(g_logs[0].find(R"(Discord refused an update (4000): child "activity" fails because)"), std::string::npos)
        << g_logs[0];
    // Each refusal is told or counted, however the runs split them.
    size_t refusals = 0;
    for (const std::string& l : g_logs) {
        const std::string counted = "Discord refused an update ... and ";
        if (l.find("Discord refused an update (4000): ") != std::string::npos) {
            ++refusals;
        } else if (l.find(counted) != std::string::npos) {
            refusals += std::stoul(l.substr(l.find(counted) + counted.size()));
        }
    }
    EXPECT_EQ(refusals, 38u) << ::testing::PrintToString(g_logs);
    EXPECT_TRUE(std::any_of(g_logs.begin(), g_logs.end(), [](const std::string& l) {
        return l.find("1:Discord closed the connection") == 0;
    })) << "the reason of the loss is counted away";
    core->destroy(core);
}

TEST_F(SdkApi, DestroyWhileTheConnectionLogsFreesNothingStillInUse)
{
    startPeer();
    DiscordCreateParams p = params();
    for (int round = 0; round < 1000; ++round) {
        IDiscordCore* core = nullptr;
        ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
        core->set_log_hook(core, DiscordLogLevel_Debug, nullptr, [](void*, EDiscordLogLevel, const char*) {});
        IDiscordActivityManager* activities = core->get_activity_manager(core);
        DiscordActivity activity{};
        std::strcpy(activity.details, "round");
        activities->update_activity(activities, &activity, nullptr, nullptr);
        // Destroy at varying moments of the connection thread's sending and logging.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(round % 200 * 5);
        while (std::chrono::steady_clock::now() < until) {
        }
        core->destroy(core);
    }
}

#ifndef ORV_SANITIZED_ALLOCATOR
TEST_F(SdkApi, NoExceptionCrossesTheInterfaceWhenMemoryRunsOut)
{
    startPeer();
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
    IDiscordActivityManager* activities = core->get_activity_manager(core);
    DiscordActivity activity{};
    std::strcpy(activity.details, "no memory");
    Outcome failed;
    Outcome cleared;
    // Whether the call let an exception out while no allocation could succeed.
    auto throwsWithoutMemory = [](const std::function<void()>& call) {
        bool threw = false;
        t_failAllocations = true;
        try {
            call();
        } catch (...) {
            threw = true;
        }
        t_failAllocations = false;
        return threw;
    };
    EXPECT_FALSE(throwsWithoutMemory([&] { activities->update_activity(activities, &activity, &failed, remember); }));
    EXPECT_FALSE(throwsWithoutMemory([&] { activities->clear_activity(activities, &cleared, remember); }));
    EXPECT_FALSE(throwsWithoutMemory([&] { core->set_log_hook(core, DiscordLogLevel_Debug, nullptr, logHook); }));
    EXPECT_FALSE(throwsWithoutMemory([&] { core->run_callbacks(core); }));
    EXPECT_EQ(failed.calls, 1);
    EXPECT_EQ(failed.result, DiscordResult_InternalError);

    // The core still works, and every callback ran once.
    Outcome later;
    activities->update_activity(activities, &activity, &later, remember);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((later.calls == 0 || cleared.calls == 0) && std::chrono::steady_clock::now() < deadline) {
        core->run_callbacks(core);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(later.calls, 1);
    EXPECT_EQ(cleared.calls, 1);
    EXPECT_FALSE(throwsWithoutMemory([&] { core->destroy(core); }));
}

// A window procedure hands its presence over: once the SDK has room for the
// updates that one watchdog tick sees, the caller allocates nothing, however
// the updates come (serialising is the connection thread's work).
TEST_F(SdkApi, UpdatesAllocateNothingOnTheCallersThread)
{
    startPeer();
    DiscordCreateParams p = params();
    IDiscordCore* core = nullptr;
    ASSERT_EQ(DiscordCreate(DISCORD_VERSION, &p, &core), DiscordResult_Ok);
    IDiscordActivityManager* activities = core->get_activity_manager(core);
    DiscordActivity activity{};
    std::strcpy(activity.state, "a state long enough to need memory of its own if copied as a string");
    Outcome outcome;
    long allocations = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 100; ++i) {
            std::snprintf(activity.details, sizeof activity.details, "update %d of round %d", i, round);
            const long before = t_allocations;
            activities->update_activity(activities, &activity, &outcome, remember);
            if (round >= 2) {  // the first rounds make the room
                allocations += t_allocations - before;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        core->run_callbacks(core);
    }
    EXPECT_EQ(allocations, 0);
    core->destroy(core);
    EXPECT_EQ(outcome.calls, 600);
}
#endif

}  // namespace

#ifndef ORV_SANITIZED_ALLOCATOR
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // these pair malloc with free on purpose
#endif
void* operator new(std::size_t size)
{
    if (t_failAllocations) {
        throw std::bad_alloc();
    }
    ++t_allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
#endif
