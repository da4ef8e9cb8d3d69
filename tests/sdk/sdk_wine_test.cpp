// The SDK library as a Windows program uses it: the DLL speaks to the
// Discord-side peer, a process of its own, over the named pipe.
#include "discord/discord_game_sdk.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
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

// Waits until a peer listens on pipe n: a connect must find every peer it is
// meant to choose between. WaitNamedPipeW returns at once while the pipe does
// not exist, and true once an instance waits for a client, without taking it.
bool waitUntilListening(int n)
{
    const std::wstring name = L"\\\\.\\pipe\\discord-ipc-" + std::to_wstring(n);
    const auto deadline = std::chrono::steady_clock::now() + 60s;  // generous: a loaded machine
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitNamedPipeW(name.c_str(), 100)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

IDiscordCore* connectWithRetry()
{
    DiscordCreateParams params{};
    params.client_id = 1447226862545010708;
    params.flags = DiscordCreateFlags_NoRequireDiscord;
    IDiscordCore* core = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + 60s;  // generous: a loaded machine
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
    const auto deadline = std::chrono::steady_clock::now() + 60s;  // generous: a loaded machine
    while (outcome == 0 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(core->run_callbacks(core), DiscordResult_Ok);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(outcome, 1000 + DiscordResult_Ok);
    core->destroy(core);
    EXPECT_EQ(peer.wait(60000), 0u) << "the peer did not see the connection end";
    const std::vector<json> records = peerRecords(out);
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const json& r) { return r.value("op", -1) == 2; }))
        << "destroy said no goodbye (CLOSE)";

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

// Publishes one activity and runs callbacks until it completes; its result.
int publishOnce(IDiscordCore* core, std::chrono::seconds timeout)
{
    IDiscordActivityManager* activities = core->get_activity_manager(core);
    DiscordActivity activity{};
    std::strcpy(activity.details, "hostile");
    int outcome = 0;
    activities->update_activity(activities, &activity, &outcome, remember);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (outcome == 0 && std::chrono::steady_clock::now() < deadline) {
        core->run_callbacks(core);
        std::this_thread::sleep_for(10ms);
    }
    return outcome - 1000;
}

SIZE_T privateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PrivateUsage;
}

// A Discord side that misbehaves, a process of its own over the real pipe.
// A pipe that closes during the handshake (a stale bridge) is given up for
// the next; a strict Discord there shows the presence, and says so in its
// records.
TEST(SdkUnderWine, AStaleFirstPipeGivesWayToTheNext)
{
    testsupport::TempDir dir;
    const std::wstring stale = dir.file(L"stale.jsonl");
    const std::wstring out = dir.file(L"peer.jsonl");
    testsupport::ChildProcess first;
    ASSERT_TRUE(first.start(L"\"" + testsupport::programDir() + L"discord-peer.exe\" --pipe 0 --drop-after 1 --out \"" +
                            stale + L"\""));
    testsupport::ChildProcess second;
    ASSERT_TRUE(second.start(L"\"" + testsupport::programDir() + L"discord-peer.exe\" --pipe 1 --once --strict --out \"" +
                             out + L"\""));
    ASSERT_TRUE(waitUntilListening(0));
    ASSERT_TRUE(waitUntilListening(1));
    IDiscordCore* core = connectWithRetry();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(publishOnce(core, 60s), DiscordResult_Ok);
    core->destroy(core);
    EXPECT_EQ(second.wait(60000), 0u);
    first.kill();
    const std::vector<json> records = peerRecords(out);
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const json& r) {
        return r.contains("shown") && r["shown"] == json{{"details", "hostile"}};
    })) << testsupport::readFile(out);
    EXPECT_NE(testsupport::readFile(stale).find("\"op\":0"), std::string::npos) << "the stale pipe was never tried";
}

TEST(SdkUnderWine, HostileDiscordSides)
{
    struct Case {
        const wchar_t* options;
        int result;
        std::chrono::seconds wait;
    };
    const Case cases[] = {
        // 10 MB of frames that no read ends on: the decoder holds one at most.
        {L"--flood 2560", DiscordResult_Ok, 30s},
        // An answer nested 30,000 deep is refused, not recursed into.
        {L"--deep-nesting 30000", DiscordResult_NotRunning, 30s},
        // An update never answered fails once its 20 s are up.
        {L"--silent", DiscordResult_ServiceUnavailable, 40s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.options, c.options + wcslen(c.options)));
        testsupport::ChildProcess peer;
        ASSERT_TRUE(peer.start(L"\"" + testsupport::programDir() + L"discord-peer.exe\" --pipe 0 --once " + c.options));
        IDiscordCore* core = connectWithRetry();
        ASSERT_NE(core, nullptr);
        const SIZE_T before = privateBytes();
        EXPECT_EQ(publishOnce(core, c.wait), c.result);
        const SIZE_T after = privateBytes();
        EXPECT_LT(after, before + 4 * 1024 * 1024)
            << "memory grew by " << (after - before) / 1024 << " KiB with what the peer sent";
        core->destroy(core);
        peer.kill();
    }
}

}  // namespace
