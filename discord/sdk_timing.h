#pragma once

// Our SDK library's rules of time, in one place: the library keeps them, and
// the program plans its own waits by them.
#include <chrono>
#include <cstddef>

namespace discord::timing {

// The whole connect, from the first endpoint to READY.
constexpr std::chrono::milliseconds kConnect{3000};

// Discord drops, silently, presence updates that come faster than this.
constexpr size_t kPaceLimit = 5;
constexpr std::chrono::milliseconds kPaceWindow{20000};

// The even spacing of sends under such a limit: window ÷ limit, plus a
// fortieth as a margin for Discord's jitter.
constexpr std::chrono::milliseconds paceSpacing(size_t limit, std::chrono::milliseconds window)
{
    const std::chrono::milliseconds even =
        limit == 0 ? window : window / static_cast<std::chrono::milliseconds::rep>(limit);
    return even + even / 40;
}

// Only the newest update waits: one handed over now leaves at most one step
// after the frame before it.
constexpr std::chrono::milliseconds kPaceStep = paceSpacing(kPaceLimit, kPaceWindow);

// Discord may drop an update that comes less than this after the one it
// shows: a frame that soon after the one before it is a burst's, and the
// newest goes once more this long (plus a fortieth) after the burst's last
// frame.
constexpr std::chrono::milliseconds kRepeatAfter{15000};

}  // namespace discord::timing
