#pragma once

#include "common/log_priority.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// Receives one finished message: the caller's function name, its source line,
// the formatted text (terminated) and how hard it is to be kept.
using LogSink = void (*)(const char* function, int line, const wchar_t* message, LogPriority priority);

// Installs the sink of common::log. Until then a log call does nothing.
void setLogSink(LogSink sink) noexcept;

// The log call: a wide printf-style format ("%s" takes a wide string, "%d" an
// int). Never fails, never throws, callable from any thread at any time.
void log(const char* function, int line, const wchar_t* format, ...) noexcept;

// The same for a lifecycle record: the start, a presence taken, why the
// process ends. The log keeps room for these that other records cannot take.
void logLifecycle(const char* function, int line, const wchar_t* format, ...) noexcept;

// The same for the record of why the process ends, which has the last room.
void logEnding(const char* function, int line, const wchar_t* format, ...) noexcept;

// The file sink: builds one record and hands it to the log writer.
void logToFile(const char* function, int line, const wchar_t* message, LogPriority priority) noexcept;

// Opens the log file at path (creating it, not its folder) and starts the log
// writer on it, once. True when the log is open, by this call or an earlier
// one. False, with the system's error code in *error, when the file cannot be
// opened: no writer starts, and another path may be tried. An empty path is
// false with error 0.
bool initLog(const std::wstring& path, uint32_t* error = nullptr);

// Writes what is pending and stops the log writer; later records are
// dropped. For the end of the process, so that its last records are kept.
void shutdownLog() noexcept;

// Writes what is pending now, waiting for it at most a second; the log goes
// on. For when the system may end the process at any moment.
void flushLog() noexcept;

// Formats into buffer (capacity units, at least 1); the result is always
// terminated, however long the formatted text would be.
void formatMessage(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept;

}  // namespace common

// Log under an explicit qualified function name, as the log's readers expect
// "Class::method" whatever the compiler calls it; the second, a lifecycle
// record; the third, why the process ends.
#define ORV_LOG(function, ...) ::common::log(function, __LINE__, __VA_ARGS__)
#define ORV_LOG_LIFECYCLE(function, ...) ::common::logLifecycle(function, __LINE__, __VA_ARGS__)
#define ORV_LOG_ENDING(function, ...) ::common::logEnding(function, __LINE__, __VA_ARGS__)
