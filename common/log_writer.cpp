#include "common/log_writer.h"

#include "common/log_file.h"

#include <atomic>

namespace common {
namespace {

std::atomic<LogWriter*> g_writer{nullptr};

}  // namespace

LogWriter::LogWriter(std::chrono::milliseconds flushInterval) : m_flushInterval(flushInterval) {}

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

void LogWriter::start(const std::wstring& path)
{
    m_thread = std::thread(&LogWriter::run, this, path);
}

void LogWriter::stop() noexcept
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wakeup.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

size_t LogWriter::pendingSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.size();
}

void LogWriter::append(const char* data, size_t size) noexcept
{
    bool wake = false;
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending.size() > m_threshold) {
            return;
        }
        m_pending.append(data, size);
        wake = m_pending.size() >= m_threshold;
    } catch (...) {
        return;  // out of memory: the record is lost, the caller never notices
    }
    if (wake) {
        m_wakeup.notify_one();
    }
}

void LogWriter::run(std::wstring path)
{
    LogFile file;
    file.open(path);

    std::string batch;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wakeup.wait_for(lock, m_flushInterval,
                          [this] { return m_stop || m_pending.size() >= m_threshold; });
        const bool stopping = m_stop;
        if (!m_pending.empty()) {
            // The batch is written without the lock, so that no log call waits
            // for the disk; records keep their order, as only this thread writes.
            batch.swap(m_pending);
            lock.unlock();
            if (file.append(batch.data(), batch.size())) {
                const int64_t size = file.size();
                if (size >= 0 && static_cast<uint64_t>(size) >= kCutSize) {
                    file.cutToLast(kKeepSize);
                }
            }
            batch.clear();
            lock.lock();
        }
        if (stopping) {
            return;
        }
    }
}

}  // namespace common
