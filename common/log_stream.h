#pragma once

#include "common/log_priority.h"

#include <windows.h>

#include <cstddef>
#include <strstream>

namespace common {

// Writes the record prefix "MM-DD\tHH:MM:SS.mmm\tTTTT\tfunction\t(line):" into
// out (capacity bytes, terminated). Returns the length the prefix needs, which
// is capacity or more when it did not fit.
int formatRecordPrefix(char* out, size_t capacity, const SYSTEMTIME& time, DWORD threadId,
                       const char* function, int line) noexcept;

// One log record under construction, in a fixed 1024-byte array. Destroying it
// commits the record to the log writer, with its priority.
class LogStream : public std::strstream {
public:
    static constexpr size_t kCapacity = 1024;

    LogStream(const char* function, int line, LogPriority priority = LogPriority::Ordinary);
    ~LogStream() override;

    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Appends text as UTF-8, cut at a character boundary where the record
    // would otherwise not fit with its line end.
    LogStream& operator<<(const wchar_t* text);

    // The record's bytes so far.
    const char* data() const noexcept { return m_buffer; }
    size_t size() noexcept;

private:
    char m_buffer[kCapacity] = {};
    LogPriority m_priority;
};

}  // namespace common
