#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

namespace orvsdk {

// At most `limit` sends in any `window`: Discord drops presence updates that
// come faster, silently. The budget is spread evenly: one send per
// window ÷ limit, plus a fortieth of that as a margin, so that delivery
// jitter at Discord's end cannot squeeze limit + 1 sends into one window
// there. Under a steady stream Discord then shows a presence at
// most one spacing old, instead of a burst's last, a whole window old.
// An urgent send (a clear) skips the even spacing, never the window.
class Pacer {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    Pacer(size_t limit, std::chrono::milliseconds window);

    // Whether the spacing and the window allow a send now.
    bool allows(TimePoint now) const;
    // Whether the window alone does: fewer than limit sends in it.
    bool allowsUrgent(TimePoint now) const;
    void record(TimePoint now);
    // The first moment at which a send (an urgent one) is allowed again: now
    // when it is.
    TimePoint nextAllowed(TimePoint now) const;
    TimePoint nextUrgent(TimePoint now) const;

    std::chrono::milliseconds spacing() const { return m_spacing; }

private:
    size_t m_limit;
    std::chrono::milliseconds m_window;
    std::chrono::milliseconds m_spacing;
    std::optional<TimePoint> m_last;
    std::deque<TimePoint> m_recent;  // the last `limit` sends, oldest first
};

}  // namespace orvsdk
