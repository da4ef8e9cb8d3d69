#pragma once

#include <chrono>
#include <cstddef>
#include <deque>

namespace orvsdk {

// At most `limit` sends in any `window`: Discord drops presence updates that
// come faster, silently.
class Pacer {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    Pacer(size_t limit, std::chrono::milliseconds window) : m_limit(limit), m_window(window) {}

    bool allows(TimePoint now);
    void record(TimePoint now);
    // The first moment at which a send is allowed again (now when it is).
    TimePoint nextAllowed(TimePoint now);

private:
    void forget(TimePoint now);

    size_t m_limit;
    std::chrono::milliseconds m_window;
    std::deque<TimePoint> m_sent;
};

}  // namespace orvsdk
