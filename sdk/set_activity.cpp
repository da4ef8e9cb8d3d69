#include "sdk/set_activity.h"

#include "sdk/activity_json.h"
#include "sdk/frame.h"

#include <optional>

namespace orvsdk {

SetActivityFrame buildSetActivity(uint32_t pid, uint64_t sequence, const DiscordActivity* record)
{
    SetActivityFrame frame;
    frame.nonce = std::to_string(pid) + "-" + std::to_string(sequence);
    std::optional<nlohmann::json> activity;
    if (record) {
        nlohmann::json object = activityToJson(*record);
        if (!object.empty()) {
            activity = std::move(object);
        }
    }
    frame.command = setActivityCommand(pid, activity ? &*activity : nullptr, frame.nonce);
    frame.bytes = encodeFrame(Opcode::Frame, frame.command);
    return frame;
}

}  // namespace orvsdk
