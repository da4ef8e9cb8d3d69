#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace common {

// Receives one finished message: the caller's function name, its source line
// and the formatted text (terminated).
using LogSink = void (*)(const char* function, int line, const wchar_t* message);

// Installs the sink of common::log. Until then a log call does nothing.
void setLogSink(LogSink sink) noexcept;

// The log call: a wide printf-style format ("%s" takes a wide string, "%d" an
// int). Never fails, never throws, callable from any thread at any time.
void log(const char* function, int line, const wchar_t* format, ...) noexcept;

// The file sink: builds one record and hands it to the log writer.
void logToFile(const char* function, int line, const wchar_t* message) noexcept;

// Starts the log writer for this path, once. An empty path, or a second call,
// does nothing.
void initLog(const std::wstring& path);

// Writes what is pending and stops the log writer; later records are
// dropped. For the end of the process, so that its last records are kept.
void shutdownLog() noexcept;

// Formats into buffer (capacity units, at least 1); the result is always
// terminated, however long the formatted text would be.
void formatMessage(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept;

}  // namespace common

// Logs under an explicit qualified function name, as the log's readers expect
// "Class::method" whatever the compiler calls it.
#define ORV_LOG(function, ...) ::common::log(function, __LINE__, __VA_ARGS__)
