// An activity record of arbitrary bytes, texts without a terminator and
// invalid UTF-8 among them, becomes a command that is valid JSON in valid
// UTF-8, whatever the record holds.
#include "sdk/activity_json.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A record of its own on the heap, so that a read past it is caught.
    auto activity = std::make_unique<DiscordActivity>();
    std::memcpy(activity.get(), data, std::min(size, sizeof(DiscordActivity)));
    const nlohmann::json object = orvsdk::activityToJson(*activity);
    const std::string command = orvsdk::setActivityCommand(1, object.empty() ? nullptr : &object, "1-1");
    const nlohmann::json parsed = nlohmann::json::parse(command, nullptr, false);
    if (parsed.is_discarded()) {
        std::abort();
    }
    try {
        (void)parsed.dump();  // throws on invalid UTF-8
    } catch (const nlohmann::json::exception&) {
        std::abort();
    }
    return 0;
}
