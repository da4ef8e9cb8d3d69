#include "common/log_writer.h"

#include "common/log_file.h"

#include <atomic>

namespace common {
namespace {

std::atomic<LogWriter*> g_writer{nullptr};

}  // namespace

LogWriter::LogWriter(std::chrono::milliseconds flushInterval, uint64_t cutSize, uint64_t keepSize)
    : m_flushInterval(flushInterval), m_cutSize(cutSize), m_keepSize(keepSize)
{
    // Room for the whole bound at once: taking a record never allocates, so
    // none is lost for want of memory.
    m_pending.reserve(kCapacity);
}

LogWriter::~LogWriter()
{
    stop();
}

LogWriter* LogWriter::instance() noexcept
{
    return g_writer.load(std::memory_order_acquire);
}

void LogWriter::setInstance(LogWriter* writer) noexcept
{
    g_writer.store(writer, std::memory_order_release);
}

bool LogWriter::start(const std::wstring& path, DWORD* error)
{
    // Opened here, so that the caller learns whether the log has a place.
    LogFile file;
    if (!file.open(path)) {
        if (error) {
            *error = GetLastError();
        }
        return false;
    }
    try {
        m_thread = std::thread(&LogWriter::run, this, std::move(file));
    } catch (...) {
        if (error) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
        }
        return false;
    }
    return true;
}

void LogWriter::stop() noexcept
{
    {
        std::lock_guard<SrwMutex> lock(m_mutex);
        m_stop = true;
    }
    WakeConditionVariable(&m_wakeup);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool LogWriter::flush(std::chrono::milliseconds bound) noexcept
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<SrwMutex> lock(m_mutex);
    if (!m_thread.joinable() || m_stop) {
        return false;
    }
    const uint64_t wanted = ++m_flushWanted;
    WakeConditionVariable(&m_wakeup);
    while (m_flushDone < wanted) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        SleepConditionVariableSRW(&m_flushed, m_mutex.native(), static_cast<DWORD>(left.count()), 0);
    }
    return true;
}

size_t LogWriter::pendingSize() const
{
    std::lock_guard<SrwMutex> lock(m_mutex);
    return m_pending.size();
}

void LogWriter::append(const char* data, size_t size, LogPriority priority) noexcept
{
    bool wake = false;
    try {
        std::lock_guard<SrwMutex> lock(m_mutex);
        const size_t limit = pendingLimit(priority);
        if (m_pending.size() > limit || size > limit - m_pending.size()) {
            return;
        }
        m_pending.append(data, size);
        wake = m_pending.size() >= m_threshold;
    } catch (...) {
        return;  // out of memory: the record is lost, the caller never notices
    }
    if (wake) {
        WakeConditionVariable(&m_wakeup);
    }
}

void LogWriter::run(LogFile file)
{
    std::string batch;
    batch.reserve(kCapacity);  // swapped with m_pending: both keep their room
    std::unique_lock<SrwMutex> lock(m_mutex);
    for (;;) {
        // Wakes for a stop request, a full threshold or the end of the
        // interval; a spurious wake-up waits out the rest of the interval.
        const auto deadline = std::chrono::steady_clock::now() + m_flushInterval;
        while (!m_stop && m_pending.size() < m_threshold && m_flushDone == m_flushWanted) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            SleepConditionVariableSRW(&m_wakeup, m_mutex.native(), static_cast<DWORD>(left.count()), 0);
        }
        const bool stopping = m_stop;
        const uint64_t flushing = m_flushWanted;
        if (!m_pending.empty()) {
            // The batch is written without the lock, so that no log call waits
            // for the disk; records keep their order, as only this thread writes.
            batch.swap(m_pending);
            ++m_batches;  // before the write: a reader that sees the bytes sees the count
            lock.unlock();
            if (file.append(batch.data(), batch.size())) {
                file.cutIfAtLeast(m_cutSize, m_keepSize);
            }
            batch.clear();
            lock.lock();
        }
        if (m_flushDone != flushing) {
            m_flushDone = flushing;
            WakeAllConditionVariable(&m_flushed);
        }
        if (stopping) {
            return;
        }
    }
}

}  // namespace common
