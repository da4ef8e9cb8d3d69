#include "sdk/burst_repeat.h"

namespace orvsdk {

BurstRepeat::BurstRepeat(std::chrono::milliseconds after) : m_enabled(after.count() > 0), m_after(after + after / 40)
{
}

void BurstRepeat::updateSent(TimePoint at, bool clear, const DiscordActivity& record, const std::string& nonce)
{
    const bool burst = m_lastFrame && at - *m_lastFrame < m_after;
    m_lastFrame = at;
    m_clear = clear;
    if (!clear) {
        m_record = record;
    }
    m_nonce = nonce;
    if (burst && m_enabled) {
        m_dueAt = at + m_after;
    } else {
        m_dueAt.reset();
    }
}

void BurstRepeat::repeatSent(TimePoint at, const std::string& nonce)
{
    m_lastFrame = at;
    m_nonce = nonce;
    m_dueAt.reset();
}

void BurstRepeat::refused(const std::string& nonce)
{
    if (!nonce.empty() && nonce == m_nonce) {
        m_dueAt.reset();
    }
}

}  // namespace orvsdk
