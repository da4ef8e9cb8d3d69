#pragma once

#include "common/log_priority.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace common {

class LogFile;

// Collects records in memory and appends them to the log file on its own
// thread, at the latest every flush interval or as soon as the threshold of
// pending bytes is reached. Cuts the file back to its last 2 MiB once it
// reaches 50 MiB.
//
// What is pending is bounded by kCapacity. One message's handling can log
// several KiB (its records, the SDK's diagnostics, the reason it ends) before
// the writer gets to run, so the bound lies well above the threshold; the top
// kLifecycleRoom of it takes only lifecycle records, so that those reach the
// file whatever else floods the log, and its top kEndingRoom only the
// records of why the process ends.
class LogWriter {
public:
    static constexpr uint32_t kThreshold = 4096;
    static constexpr uint32_t kCapacity = 65536;
    static constexpr uint32_t kLifecycleRoom = 16384;
    static constexpr uint32_t kEndingRoom = 4096;
    static constexpr uint64_t kCutSize = 52428800;
    static constexpr uint64_t kKeepSize = 2097152;
    static constexpr std::chrono::milliseconds kFlushInterval{500};

    explicit LogWriter(std::chrono::milliseconds flushInterval = kFlushInterval, uint64_t cutSize = kCutSize,
                       uint64_t keepSize = kKeepSize);
    ~LogWriter();

    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens the file at path on the calling thread and starts the writer
    // thread on it. False, with the system's error code in *error, when the
    // file cannot be opened or the thread cannot start: nothing runs then.
    bool start(const std::wstring& path, DWORD* error = nullptr);

    // Writes what is pending and ends the writer thread.
    void stop() noexcept;

    // Has the writer write what is pending now, and waits for it at most
    // bound: true once it is in the file. The writer goes on.
    bool flush(std::chrono::milliseconds bound) noexcept;

    // Takes one record if it fits whole below the bound of its priority
    // (pendingLimit); otherwise drops it.
    void append(const char* data, size_t size, LogPriority priority = LogPriority::Ordinary) noexcept;

    // How many bytes may be pending once a record of this priority is taken.
    static constexpr size_t pendingLimit(LogPriority priority) noexcept
    {
        switch (priority) {
        case LogPriority::Ending:
            return kCapacity;
        case LogPriority::Lifecycle:
            return kCapacity - kEndingRoom;
        default:
            return kCapacity - kLifecycleRoom;
        }
    }

    size_t pendingSize() const;
    // How many batches the writer has taken to write, counted before each
    // write: a test's view of when the writer wakes, with no clock to guess.
    size_t batchesWritten() const noexcept { return m_batches.load(); }

    // The process-wide writer that common::initLog creates; null before.
    static LogWriter* instance() noexcept;
    static void setInstance(LogWriter* writer) noexcept;

private:
    void run(LogFile file);

    bool m_stop = false;
    const uint32_t m_threshold = kThreshold;
    const std::chrono::milliseconds m_flushInterval;
    const uint64_t m_cutSize;
    const uint64_t m_keepSize;
    std::string m_pending;
    std::atomic<size_t> m_batches{0};
    // Flushes asked for, and the last one whose records are in the file.
    uint64_t m_flushWanted = 0;
    uint64_t m_flushDone = 0;
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
    CONDITION_VARIABLE m_flushed = CONDITION_VARIABLE_INIT;
    std::thread m_thread;
};

}  // namespace common
