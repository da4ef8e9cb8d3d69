// The SDK library as a Windows program uses it: the DLL speaks to the
// Discord-side peer, a process of its own, over the named pipe.
#include "discord/discord_game_sdk.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

void remember(void* data, EDiscordResult result)
{
    *static_cast<int*>(data) = 1000 + result;
}

std::vector<json> peerRecords(const std::wstring& path)
{
    std::vector<json> records;
    std::istringstream lines(testsupport::readFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        records.push_back(json::parse(line, nullptr, false));
    }
    return records;
}

IDiscordCore* connectWithRetry()
{
    DiscordCreateParams params{};
    params.client_id = 1447226862545010708;
    params.flags = DiscordCreateFlags_NoRequireDiscord;
    IDiscordCore* core = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (DiscordCreate(DISCORD_VERSION, &params, &core) == DiscordResult_Ok) {
            return core;
        }
        std::this_thread::sleep_for(50ms);  // the peer is still starting
    }
    return nullptr;
}

TEST(SdkUnderWine, NoDiscordIsNotRunning)
{
    DiscordCreateParams params{};
    IDiscordCore* core = nullptr;
    EXPECT_EQ(DiscordCreate(DISCORD_VERSION, &params, &core), DiscordResult_NotRunning);
    EXPECT_EQ(core, nullptr);
}

TEST(SdkUnderWine, ActivityReachesThePeerProcess)
{
    testsupport::TempDir dir;
    const std::wstring out = dir.file(L"peer.jsonl");
    testsupport::ChildProcess peer;
    ASSERT_TRUE(peer.start(L"\"" + testsupport::programDir() + L"discord-peer.exe\" --pipe 0 --once --out \"" + out + L"\""));

    IDiscordCore* core = connectWithRetry();
    ASSERT_NE(core, nullptr);
    IDiscordActivityManager* activities = core->get_activity_manager(core);
    DiscordActivity activity{};
    std::strcpy(activity.details, "\xE8\xB5\x9B\xE8\xBD\xA6 Racing");
    std::strcpy(activity.assets.small_image, "https://example.com/icon.png");
    activity.timestamps.start = 1700000000;
    int outcome = 0;
    activities->update_activity(activities, &activity, &outcome, remember);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (outcome == 0 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(core->run_callbacks(core), DiscordResult_Ok);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(outcome, 1000 + DiscordResult_Ok);
    core->destroy(core);
    EXPECT_EQ(peer.wait(10000), 0u) << "the peer did not see the connection end";

    json sent;
    for (const json& record : peerRecords(out)) {
        if (record.contains("json") && record["json"].value("cmd", "") == "SET_ACTIVITY") {
            sent = record["json"];
        }
    }
    ASSERT_FALSE(sent.is_null());
    EXPECT_EQ(sent["args"]["pid"], GetCurrentProcessId());
    EXPECT_EQ(sent["args"]["activity"],
              json::parse("{\"details\":\"\xE8\xB5\x9B\xE8\xBD\xA6 Racing\",\"timestamps\":{\"start\":1700000000},"
                          "\"assets\":{\"small_image\":\"https://example.com/icon.png\"}}"));
}

}  // namespace
