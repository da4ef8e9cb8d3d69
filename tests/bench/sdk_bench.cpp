// Prints what an update_activity call costs its caller and how long the
// activity takes to reach the Discord side. A benchmark, not a test.
#include "discord/discord_game_sdk.h"
#include "peer.h"
#include "sdk/transport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

size_t setActivityCount(const std::vector<nlohmann::json>& records)
{
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const nlohmann::json& r) {
        return r.contains("json") && r["json"].value("cmd", "") == "SET_ACTIVITY";
    }));
}

void noop(void*, EDiscordResult) {}

}  // namespace

int main()
{
#ifndef _WIN32
    char dir[] = "/tmp/orvsdk-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", dir, 1);
#endif
    discordpeer::Options options;
    options.endpoint = orvsdk::discordEndpoints()[0];
    discordpeer::Peer peer(options);
    if (!peer.start()) {
        std::fprintf(stderr, "cannot listen on %s\n", options.endpoint.c_str());
        return 1;
    }
    DiscordCreateParams params{};
    params.client_id = 1447226862545010708;
    IDiscordCore* core = nullptr;

    // Connecting: endpoint checks, handshake and READY, then destroy.
    // The peer needs a moment after each connection to listen again.
    std::vector<double> connects;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = Clock::now();
        const EDiscordResult created = DiscordCreate(DISCORD_VERSION, &params, &core);
        if (created != DiscordResult_Ok) {
            std::fprintf(stderr, "DiscordCreate failed (%d) on connection %d\n", static_cast<int>(created), i);
            return 1;
        }
        connects.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        core->destroy(core);
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (DiscordCreate(DISCORD_VERSION, &params, &core) != DiscordResult_Ok) {
        std::fprintf(stderr, "DiscordCreate failed\n");
        return 1;
    }
    IDiscordActivityManager* activities = core->get_activity_manager(core);

    // Latency: each update after a pause longer than the pace's spacing
    // (4.1 s) goes out at once.
    std::vector<double> latencies;
    for (int i = 0; i < 5; ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(4200));
        }
        DiscordActivity activity{};
        std::snprintf(activity.details, sizeof activity.details, "latency %d", i);
        const auto start = Clock::now();
        activities->update_activity(activities, &activity, nullptr, noop);
        peer.waitFor([i](const auto& records) { return setActivityCount(records) > static_cast<size_t>(i); },
                     std::chrono::seconds(10));
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        core->run_callbacks(core);
    }

    // Caller's cost: over the pace every call only hands its activity over.
    std::vector<double> costs;
    for (int i = 0; i < 10000; ++i) {
        DiscordActivity activity{};
        std::snprintf(activity.details, sizeof activity.details, "burst %d", i);
        std::strcpy(activity.state, "a state of some length");
        const auto start = Clock::now();
        activities->update_activity(activities, &activity, nullptr, noop);
        costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (i % 100 == 0) {
            core->run_callbacks(core);
        }
    }
    core->run_callbacks(core);
    core->destroy(core);
    peer.stop();

    std::printf("| measure | median | p99.9 | samples |\n|---|---|---|---|\n");
    std::printf("| update_activity call, caller's cost (us) | %.1f | %.1f | %zu |\n", median(costs),
                percentile(costs, 0.999), costs.size());
    std::printf("| call to frame at the peer (us) | %.1f | %.1f | %zu |\n", median(latencies),
                percentile(latencies, 0.999), latencies.size());
    std::printf("| DiscordCreate to a ready core (us) | %.1f | %.1f | %zu |\n", median(connects),
                percentile(connects, 0.999), connects.size());
    return 0;
}
