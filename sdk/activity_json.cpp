#include "sdk/activity_json.h"

#include <cstring>

namespace orvsdk {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";
const char kZeroWidthSpace[] = "\xE2\x80\x8B";

// Length of the valid UTF-8 sequence at text[i], 0 when it is not one.
size_t validSequence(const unsigned char* text, size_t i, size_t size)
{
    const unsigned char lead = text[i];
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    uint32_t min = 0;
    uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > size) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i + k] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

size_t countCharacters(const std::string& text)
{
    size_t count = 0;
    for (unsigned char byte : text) {
        if ((byte & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

void putText(nlohmann::json& object, const char* key, const char* field, size_t size)
{
    const std::string text = presentableText(fieldText(field, size));
    if (!text.empty()) {
        object[key] = text;
    }
}

// Discord's own image keys and https addresses are taken as they are; a blank
// key is left out.
void putImage(nlohmann::json& object, const char* key, const char* field, size_t size)
{
    const std::string text = fieldText(field, size);
    if (text.find_first_not_of(' ') != std::string::npos) {
        object[key] = text;
    }
}

}  // namespace

std::string fieldText(const char* field, size_t size)
{
    const size_t length = strnlen(field, size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(field);
    std::string text;
    text.reserve(length);
    size_t i = 0;
    while (i < length) {
        const size_t sequence = validSequence(bytes, i, length);
        if (sequence == 0) {
            text += kReplacement;
            ++i;
        } else {
            text.append(field + i, sequence);
            i += sequence;
        }
    }
    return text;
}

std::string presentableText(const std::string& text)
{
    if (text.find_first_not_of(' ') == std::string::npos) {
        return std::string();
    }
    if (countCharacters(text) == 1) {
        return text + kZeroWidthSpace;
    }
    return text;
}

nlohmann::json activityToJson(const DiscordActivity& activity)
{
    nlohmann::json object = nlohmann::json::object();
    putText(object, "details", activity.details, sizeof activity.details);
    putText(object, "state", activity.state, sizeof activity.state);

    nlohmann::json timestamps = nlohmann::json::object();
    // Discord refuses the whole update for a time below 1.
    if (activity.timestamps.start >= 1) {
        timestamps["start"] = activity.timestamps.start;
    }
    if (activity.timestamps.end >= 1) {
        timestamps["end"] = activity.timestamps.end;
    }
    if (!timestamps.empty()) {
        object["timestamps"] = timestamps;
    }

    nlohmann::json assets = nlohmann::json::object();
    putImage(assets, "large_image", activity.assets.large_image, sizeof activity.assets.large_image);
    putText(assets, "large_text", activity.assets.large_text, sizeof activity.assets.large_text);
    putImage(assets, "small_image", activity.assets.small_image, sizeof activity.assets.small_image);
    putText(assets, "small_text", activity.assets.small_text, sizeof activity.assets.small_text);
    if (!assets.empty()) {
        object["assets"] = assets;
    }

    nlohmann::json party = nlohmann::json::object();
    const std::string partyId = fieldText(activity.party.id, sizeof activity.party.id);
    if (!partyId.empty()) {
        party["id"] = partyId;
    }
    // Discord takes a size only as [current >= 1, max >= current].
    if (activity.party.size.current_size >= 1 && activity.party.size.max_size >= activity.party.size.current_size) {
        party["size"] = {activity.party.size.current_size, activity.party.size.max_size};
    }
    if (!party.empty()) {
        object["party"] = party;
    }

    nlohmann::json secrets = nlohmann::json::object();
    const std::pair<const char*, const char*> secretFields[] = {
        {"match", activity.secrets.match}, {"join", activity.secrets.join}, {"spectate", activity.secrets.spectate}};
    for (const auto& [key, field] : secretFields) {
        const std::string secret = fieldText(field, sizeof activity.secrets.match);
        if (!secret.empty()) {
            secrets[key] = secret;
        }
    }
    if (!secrets.empty()) {
        object["secrets"] = secrets;
    }

    // A C caller may leave any byte in a bool; read it as the byte it is.
    unsigned char instance = 0;
    std::memcpy(&instance, &activity.instance, sizeof instance);
    if (instance != 0) {
        object["instance"] = true;
    }
    // The type is not sent: the vendor's SDK documents that it is discarded,
    // and over IPC Discord refuses the whole update for some values.
    return object;
}

std::string setActivityCommand(uint32_t pid, const nlohmann::json* activity, const std::string& nonce)
{
    nlohmann::json args = {{"pid", pid}};
    if (activity && !activity->empty()) {
        args["activity"] = *activity;
    }
    const nlohmann::json command = {{"cmd", "SET_ACTIVITY"}, {"args", args}, {"nonce", nonce}};
    return command.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

EDiscordResult resultForErrorCode(int code)
{
    switch (code) {
    case 4000: return DiscordResult_InvalidPayload;
    case 4002: return DiscordResult_InvalidCommand;
    case 4003: return DiscordResult_InvalidGuild;
    case 4004: return DiscordResult_InvalidEvent;
    case 4005: return DiscordResult_InvalidChannel;
    case 4006: return DiscordResult_InvalidPermissions;
    case 4007: return DiscordResult_ApplicationMismatch;
    case 4008: return DiscordResult_InvalidOrigin;
    case 4009: return DiscordResult_InvalidAccessToken;
    case 4010: return DiscordResult_NotFound;
    case 5000: return DiscordResult_OAuth2Error;
    case 5001: return DiscordResult_SelectChannelTimeout;
    case 5002: return DiscordResult_GetGuildTimeout;
    case 5003: return DiscordResult_SelectVoiceForceRequired;
    case 5004: return DiscordResult_CaptureShortcutAlreadyListening;
    default: return DiscordResult_InternalError;
    }
}

EDiscordResult resultForCloseCode(int code)
{
    switch (code) {
    case 4000: return DiscordResult_ApplicationMismatch;
    case 4001: return DiscordResult_InvalidOrigin;
    case 4002: return DiscordResult_RateLimited;
    case 4003: return DiscordResult_InvalidAccessToken;
    case 4004: return DiscordResult_InvalidVersion;
    case 4005: return DiscordResult_InvalidPayload;
    default: return DiscordResult_ServiceUnavailable;
    }
}

}  // namespace orvsdk
