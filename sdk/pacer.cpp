#include "sdk/pacer.h"

#include "discord/sdk_timing.h"

#include <algorithm>

namespace orvsdk {

Pacer::Pacer(size_t limit, std::chrono::milliseconds window)
    : m_limit(limit),
      m_window(window),
      m_spacing(discord::timing::paceSpacing(limit, window))
{
    m_window += m_spacing / 40;
}

bool Pacer::allows(TimePoint now) const
{
    return (!m_last || now - *m_last >= m_spacing) && allowsUrgent(now);
}

bool Pacer::allowsUrgent(TimePoint now) const
{
    return m_limit == 0 || m_recent.size() < m_limit || now - m_recent.front() >= m_window;
}

void Pacer::record(TimePoint now)
{
    m_last = now;
    if (m_limit == 0) {
        return;
    }
    m_recent.push_back(now);
    if (m_recent.size() > m_limit) {
        m_recent.pop_front();
    }
}

Pacer::TimePoint Pacer::nextUrgent(TimePoint now) const
{
    return allowsUrgent(now) ? now : m_recent.front() + m_window;
}

Pacer::TimePoint Pacer::nextAllowed(TimePoint now) const
{
    if (allows(now)) {
        return now;
    }
    const TimePoint spaced = m_last ? std::max(now, *m_last + m_spacing) : now;
    return std::max(spaced, nextUrgent(now));
}

}  // namespace orvsdk
