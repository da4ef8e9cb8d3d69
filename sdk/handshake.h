#pragma once

#include "discord/discord_game_sdk.h"
#include "sdk/client_options.h"
#include "sdk/ready_connection.h"

#include <chrono>
#include <string>

namespace orvsdk {

// Sends the handshake on the connection and waits for READY, answering PINGs
// meanwhile, all before the deadline. On failure `why` tells what went wrong,
// for the log.
EDiscordResult shakeHands(const ClientOptions& options, ReadyConnection& connection,
                          std::chrono::steady_clock::time_point deadline, std::string& why);

// Tries options.endpoints in their order (empty: where Discord listens),
// skipping those the trust policy refuses; an endpoint that closes, refuses or
// talks nonsense during the handshake (a stale bridge, a Discord that is
// ending) is given up, with its reason in the log, for the next one in the
// time that is left. The first that answers READY is the connection.
EDiscordResult connectFirstReady(const ClientOptions& options, std::chrono::steady_clock::time_point deadline,
                                 ReadyConnection& connection);

}  // namespace orvsdk
