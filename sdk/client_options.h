#pragma once

// What a client is told when it connects: the application, where and whom
// to connect to, its timeouts and pace. The handshake and the client both
// read it.
#include "discord/discord_game_sdk.h"
#include "discord/sdk_timing.h"
#include "sdk/transport.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvsdk {

using LogFunction = std::function<void(EDiscordLogLevel, const std::string&)>;
using Clock = std::function<std::chrono::steady_clock::time_point()>;

struct ClientOptions {
    int64_t clientId = 0;
    uint32_t pid = 0;
    std::vector<std::string> endpoints;  // empty: where Discord listens
    ConnectPolicy trust;                 // whom to connect to; its warnings also go to log
    std::chrono::milliseconds readyTimeout{discord::timing::kConnect}; // the whole connect, from the first endpoint to READY
    std::chrono::milliseconds writeTimeout{20000};  // a Discord that takes no frame for this long is lost
    std::chrono::milliseconds replyTimeout{20000};  // an unanswered update fails after this
    size_t paceLimit = discord::timing::kPaceLimit;  // sends in any paceWindow, spread evenly
    std::chrono::milliseconds paceWindow{discord::timing::kPaceWindow};
    // Discord may drop, without a word, an update that comes less than this
    // after the one it shows. A frame sent that soon after the one before it
    // is a burst's; the newest then goes once more this long after the
    // burst's last frame (with no caller's completion), so that it is shown
    // whatever Discord dropped. Both with a margin of a fortieth, for
    // Discord's jitter. Zero: never.
    std::chrono::milliseconds repeatAfter{discord::timing::kRepeatAfter};
    Clock clock;        // empty: the steady clock
    LogFunction log;    // called on the connection's own thread too
};

}  // namespace orvsdk
