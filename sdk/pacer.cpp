#include "sdk/pacer.h"

namespace orvsdk {

Pacer::Pacer(size_t limit, std::chrono::milliseconds window)
    : m_spacing(limit == 0 ? window : window / static_cast<std::chrono::milliseconds::rep>(limit))
{
    m_spacing += m_spacing / 40;
}

bool Pacer::allows(TimePoint now) const
{
    return !m_last || now - *m_last >= m_spacing;
}

void Pacer::record(TimePoint now)
{
    m_last = now;
}

Pacer::TimePoint Pacer::nextAllowed(TimePoint now) const
{
    return allows(now) ? now : *m_last + m_spacing;
}

}  // namespace orvsdk
