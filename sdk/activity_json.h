#pragma once

#include "discord/discord_game_sdk.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace orvsdk {

// The text of a fixed char field: up to its first NUL within the field, with
// every invalid UTF-8 sequence replaced by U+FFFD.
std::string fieldText(const char* field, size_t size);

// A text as Discord takes it: "" when it is to be left out (empty or only
// blanks), a single character padded with U+200B to the two Discord requires.
std::string presentableText(const std::string& text);

// The activity object of a SET_ACTIVITY command: empty texts, zero numbers and
// empty objects left out.
nlohmann::json activityToJson(const DiscordActivity& activity);

// The SET_ACTIVITY command; without an activity it clears the presence.
std::string setActivityCommand(uint32_t pid, const nlohmann::json* activity, const std::string& nonce);

// What an ERROR answer's code means as an SDK result.
EDiscordResult resultForErrorCode(int code);

// What a CLOSE code during the handshake means as an SDK result.
EDiscordResult resultForCloseCode(int code);

}  // namespace orvsdk
