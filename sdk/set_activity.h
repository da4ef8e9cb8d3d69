#pragma once

#include "discord/discord_game_sdk.h"

#include <cstdint>
#include <string>

namespace orvsdk {

// One SET_ACTIVITY frame as the client sends it, a caller's update, a repeat
// or the last one held at the end alike.
struct SetActivityFrame {
    std::string nonce;    // how Discord's answer names it
    std::string command;  // the JSON, for the log
    std::string bytes;    // the frame on the wire
};

// The frame of the sequence-th command of process pid; a null record (or one
// with nothing to show) clears the presence.
SetActivityFrame buildSetActivity(uint32_t pid, uint64_t sequence, const DiscordActivity* record);

}  // namespace orvsdk
