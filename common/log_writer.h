#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace common {

// Collects records in memory and appends them to the log file on its own
// thread, at the latest every flush interval or as soon as the threshold of
// pending bytes is reached. Cuts the file back to its last 2 MiB once it
// reaches 50 MiB.
class LogWriter {
public:
    static constexpr uint32_t kThreshold = 4096;
    static constexpr uint64_t kCutSize = 52428800;
    static constexpr uint64_t kKeepSize = 2097152;
    static constexpr std::chrono::milliseconds kFlushInterval{500};

    explicit LogWriter(std::chrono::milliseconds flushInterval = kFlushInterval, uint64_t cutSize = kCutSize,
                       uint64_t keepSize = kKeepSize);
    ~LogWriter();

    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Starts the writer thread on the file at path.
    void start(const std::wstring& path);

    // Writes what is pending and ends the writer thread.
    void stop() noexcept;

    // Takes one record. Refused while more than the threshold is pending.
    void append(const char* data, size_t size) noexcept;

    size_t pendingSize() const;

    // The process-wide writer that common::initLog creates; null before.
    static LogWriter* instance() noexcept;
    static void setInstance(LogWriter* writer) noexcept;

private:
    void run(const std::wstring& path);

    bool m_stop = false;
    const uint32_t m_threshold = kThreshold;
    const std::chrono::milliseconds m_flushInterval;
    const uint64_t m_cutSize;
    const uint64_t m_keepSize;
    std::string m_pending;
    // The system's own lock and condition variable: taking and waking them
    // stays in the calling process, where the POSIX-thread emulation's
    // condition variable signals through a kernel semaphore.
    class SrwMutex {
    public:
        void lock() noexcept { AcquireSRWLockExclusive(&m_lock); }
        void unlock() noexcept { ReleaseSRWLockExclusive(&m_lock); }
        SRWLOCK* native() noexcept { return &m_lock; }

    private:
        SRWLOCK m_lock = SRWLOCK_INIT;
    };

    mutable SrwMutex m_mutex;
    CONDITION_VARIABLE m_wakeup = CONDITION_VARIABLE_INIT;
    std::thread m_thread;
};

}  // namespace common
