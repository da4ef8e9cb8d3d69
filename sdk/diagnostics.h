#pragma once

#include "discord/discord_game_sdk.h"

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

namespace orvsdk {

// The budget of what Discord's side may provoke in the log: a bound for one
// message, and a bound for everything one run_callbacks hands the hook, so
// that a chatty or hostile Discord never crowds out the program's own records.

// Diagnostics quote what Discord sent; the log gets a bounded part of it.
constexpr size_t kMaxLogText = 4096;

// At most limit bytes, "..." included where it was cut, never in the middle of
// a UTF-8 character.
std::string bounded(const std::string& text, size_t limit = kMaxLogText);

using LogEntry = std::pair<EDiscordLogLevel, std::string>;

// What one run_callbacks delivers of messages: the first ones as they are,
// errors before the rest (a lost connection's reason among them), in their
// order, cut to the room left if need be; the rest as one count per kind.
std::deque<LogEntry> withinRunBudget(std::deque<LogEntry> messages);

}  // namespace orvsdk
