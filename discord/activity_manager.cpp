#include "discord/managers.h"

#include <memory>

namespace discord {
namespace {

using Completion = std::function<void(Result)>;

// Called by the SDK exactly once per update with the holder it was given.
// Frees the holder whatever the target does; nothing escapes into the SDK.
void onActivityUpdated(void* callbackData, EDiscordResult result) noexcept
{
    std::unique_ptr<Completion> holder(static_cast<Completion*>(callbackData));
    if (holder && *holder) {
        try {
            (*holder)(static_cast<Result>(result));
        } catch (...) {
        }
    }
}

}  // namespace

void ActivityManager::UpdateActivity(DiscordActivity const& activity, std::function<void(Result)> callback)
{
    auto holder = std::make_unique<Completion>(std::move(callback));
    if (!internal_ || !internal_->update_activity) {
        onActivityUpdated(holder.release(), DiscordResult_InternalError);
        return;
    }
    // The C interface takes a mutable record; it gets a copy of its own.
    DiscordActivity record = activity;
    internal_->update_activity(internal_, &record, holder.release(), &onActivityUpdated);
}

void ActivityManager::ClearActivity(std::function<void(Result)> callback)
{
    auto holder = std::make_unique<Completion>(std::move(callback));
    if (!internal_ || !internal_->clear_activity) {
        onActivityUpdated(holder.release(), DiscordResult_InternalError);
        return;
    }
    internal_->clear_activity(internal_, holder.release(), &onActivityUpdated);
}

}  // namespace discord
