#pragma once

#include "discord/discord_game_sdk.h"

#include <chrono>
#include <optional>
#include <string>

namespace orvsdk {

// Discord may drop, without a word, an update that comes less than `after`
// after the one it shows. A frame sent that soon after the one before it is a
// burst's; the newest then goes once more `after` past the burst's last frame,
// so that it is shown whatever Discord dropped. Discord measures when it gets
// to a frame, not when it was sent: both carry a margin of a fortieth (0.4 s
// on 15 s) that keeps its jitter on the right side. A frame Discord refused is
// not repeated: it would be refused again. The pace decides whether the
// repeat may go when it is due; this only says when it is.
class BurstRepeat {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Zero: never repeat.
    explicit BurstRepeat(std::chrono::milliseconds after);

    // A caller's update (a clear: record ignored) went at `at` as `nonce`.
    void updateSent(TimePoint at, bool clear, const DiscordActivity& record, const std::string& nonce);
    // The repeat went at `at` as `nonce`.
    void repeatSent(TimePoint at, const std::string& nonce);
    // Discord answered the frame named nonce with ERROR.
    void refused(const std::string& nonce);

    // When the repeat is due; none while no burst waits for one.
    std::optional<TimePoint> dueAt() const { return m_dueAt; }
    bool isDue(TimePoint now) const { return m_dueAt && now >= *m_dueAt; }
    // What the repeat sends: the last frame's presence, or a clear.
    bool clear() const { return m_clear; }
    const DiscordActivity& record() const { return m_record; }

private:
    bool m_enabled;
    std::chrono::milliseconds m_after;  // margin included
    std::optional<TimePoint> m_lastFrame;
    bool m_clear = false;
    DiscordActivity m_record{};
    std::string m_nonce;
    std::optional<TimePoint> m_dueAt;
};

}  // namespace orvsdk
