#include "sdk/pacer.h"

namespace orvsdk {

void Pacer::forget(TimePoint now)
{
    while (!m_sent.empty() && now - m_sent.front() >= m_window) {
        m_sent.pop_front();
    }
}

bool Pacer::allows(TimePoint now)
{
    forget(now);
    return m_sent.size() < m_limit;
}

void Pacer::record(TimePoint now)
{
    forget(now);
    m_sent.push_back(now);
}

Pacer::TimePoint Pacer::nextAllowed(TimePoint now)
{
    if (allows(now)) {
        return now;
    }
    return m_sent[m_sent.size() - m_limit] + m_window;
}

}  // namespace orvsdk
