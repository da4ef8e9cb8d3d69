#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace orvsdk {

// Reading what Discord's side sends, which may be anyone's: a frame's JSON,
// refused when it nests too deeply to be handled without deep recursion.
std::optional<nlohmann::json> parseMessage(const std::string& text);

// A field of an object, if it is one of that type; else empty, or fallback.
std::string stringField(const nlohmann::json& object, const char* key);
int intField(const nlohmann::json& object, const char* key, int fallback);

}  // namespace orvsdk
