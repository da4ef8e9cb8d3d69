#include "common/log.h"

#include "common/decimal.h"
#include "common/log_stream.h"
#include "common/log_writer.h"

#include <atomic>
#include <cstdio>
#include <cwchar>

namespace common {
namespace {

constexpr size_t kFormatCapacity = 8192;
constexpr size_t kMessageUnits = 512;

std::atomic<LogSink> g_sink{nullptr};

}  // namespace

void setLogSink(LogSink sink) noexcept
{
    g_sink.store(sink, std::memory_order_release);
}

namespace {

// True for a format made of text, "%d", "%s" and "%%" alone, which is what
// this program's log calls use.
bool isPlainFormat(const wchar_t* format) noexcept
{
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p == L'%') {
            ++p;
            if (*p != L'd' && *p != L's' && *p != L'%') {
                return false;
            }
        }
    }
    return true;
}

// Expands a plain format as the runtime's formatter would, "(null)" for a
// null string included, keeping the first `limit` units.
size_t formatPlain(wchar_t* buffer, size_t limit, const wchar_t* format, va_list args) noexcept
{
    size_t n = 0;
    for (const wchar_t* p = format; *p != L'\0' && n < limit; ++p) {
        if (*p != L'%') {
            buffer[n++] = *p;
            continue;
        }
        ++p;
        if (*p == L'%') {
            buffer[n++] = L'%';
        } else if (*p == L'd') {
            const int value = va_arg(args, int);
            wchar_t digits[12];
            size_t count = 0;
            if (value < 0) {
                digits[count++] = L'-';
            }
            count += putDecimal(digits + count,
                                value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value), 1);
            for (size_t i = 0; i < count && n < limit; ++i) {
                buffer[n++] = digits[i];
            }
        } else {
            const wchar_t* text = va_arg(args, const wchar_t*);
            if (!text) {
                text = L"(null)";
            }
            while (*text != L'\0' && n < limit) {
                buffer[n++] = *text++;
            }
        }
    }
    return n;
}

}  // namespace

void formatMessage(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept
{
    if (capacity == 0) {
        return;
    }
    buffer[capacity - 1] = L'\0';
    if (!format) {
        buffer[0] = L'\0';
        return;
    }
    // The log call is on every caller's path, and the general formatter is
    // its costliest step; the formats the program uses are expanded by hand.
    if (isPlainFormat(format)) {
        buffer[formatPlain(buffer, capacity - 1, format, args)] = L'\0';
        return;
    }
    // The Microsoft runtime's formatter: "%s" in a wide format takes a wide
    // string. It never writes past capacity - 1 units, so the last unit stays
    // the terminator when the text does not fit.
    _vsnwprintf(buffer, capacity - 1, format, args);
}

namespace {

void logWith(LogPriority priority, const char* function, int line, const wchar_t* format, va_list args) noexcept
{
    const LogSink sink = g_sink.load(std::memory_order_acquire);
    if (!sink) {
        return;
    }
    wchar_t message[kFormatCapacity];
    formatMessage(message, kFormatCapacity, format, args);
    sink(function, line, message, priority);
}

}  // namespace

void log(const char* function, int line, const wchar_t* format, ...) noexcept
{
    va_list args{};
    va_start(args, format);
    logWith(LogPriority::Ordinary, function, line, format, args);
    va_end(args);
}

void logLifecycle(const char* function, int line, const wchar_t* format, ...) noexcept
{
    va_list args{};
    va_start(args, format);
    logWith(LogPriority::Lifecycle, function, line, format, args);
    va_end(args);
}

void logEnding(const char* function, int line, const wchar_t* format, ...) noexcept
{
    va_list args{};
    va_start(args, format);
    logWith(LogPriority::Ending, function, line, format, args);
    va_end(args);
}

void logToFile(const char* function, int line, const wchar_t* message, LogPriority priority) noexcept
{
    try {
        wchar_t copy[kMessageUnits + 1];
        size_t units = 0;
        if (message) {
            while (units < kMessageUnits && message[units] != L'\0') {
                copy[units] = message[units];
                ++units;
            }
            // The cut never splits a surrogate pair: its lone half would
            // reach the file as U+FFFD.
            if (units == kMessageUnits && copy[units - 1] >= 0xD800 && copy[units - 1] <= 0xDBFF) {
                --units;
            }
        }
        copy[units] = L'\0';
        LogStream stream(function, line, priority);
        stream << copy;
    } catch (...) {
        // A log call never fails its caller.
    }
}

bool initLog(const std::wstring& path, uint32_t* error)
{
    DWORD why = 0;
    if (LogWriter::instance()) {
        return true;
    }
    if (!path.empty()) {
        auto* writer = new LogWriter();
        if (writer->start(path, &why)) {
            LogWriter::setInstance(writer);
            return true;
        }
        delete writer;
    }
    if (error) {
        *error = why;
    }
    return false;
}

}  // namespace common

namespace common {

void flushLog() noexcept
{
    constexpr std::chrono::milliseconds kFlushBound{1000};
    if (LogWriter* writer = LogWriter::instance()) {
        writer->flush(kFlushBound);
    }
}

void shutdownLog() noexcept
{
    if (LogWriter* writer = LogWriter::instance()) {
        LogWriter::setInstance(nullptr);
        writer->stop();
    }
}

}  // namespace common
