#include "sdk/discord_message.h"

#include <cstdint>

namespace orvsdk {
namespace {

// Far beyond anything Discord sends. Deeper trees would be copied, dumped and
// compared by recursion, so they are refused before any is built.
constexpr size_t kMaxNesting = 64;

// Whether arrays and objects nest no deeper than the limit. Brackets within
// strings do not count; whether the text is JSON at all is the parser's call.
bool nestingWithin(const std::string& text, size_t limit)
{
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace

std::optional<nlohmann::json> parseMessage(const std::string& text)
{
    if (!nestingWithin(text, kMaxNesting)) {
        return std::nullopt;
    }
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::string stringField(const nlohmann::json& object, const char* key)
{
    if (object.is_object()) {
        auto it = object.find(key);
        if (it != object.end() && it->is_string()) {
            return it->get<std::string>();
        }
    }
    return std::string();
}

int intField(const nlohmann::json& object, const char* key, int fallback)
{
    if (object.is_object()) {
        auto it = object.find(key);
        if (it != object.end() && it->is_number_integer()) {
            const auto value = it->get<int64_t>();
            if (value >= INT32_MIN && value <= INT32_MAX) {
                return static_cast<int>(value);
            }
        }
    }
    return fallback;
}

}  // namespace orvsdk
