#include "common/log_stream.h"

#include "common/decimal.h"
#include "common/local_time.h"
#include "common/log_writer.h"
#include "text/utf8_cut.h"

#include <cstring>
#include <cwchar>
#include <string_view>

namespace common {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLineEndSize = 2;

bool isHighSurrogate(wchar_t unit) noexcept
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

// Formats by hand what "%02d-%02d\t%02d:%02d:%02d.%03d\t%04d\t%s\t(%d):" gives:
// the log call is on every caller's path, and printf is its costliest part.
int formatRecordPrefix(char* out, size_t capacity, const SYSTEMTIME& time, DWORD threadId,
                       const char* function, int line) noexcept
{
    if (!function) {
        function = "";
    }
    const size_t functionLength = std::strlen(function);
    char head[64];
    size_t n = 0;
    n += putDecimal(head + n, time.wMonth, 2);
    head[n++] = '-';
    n += putDecimal(head + n, time.wDay, 2);
    head[n++] = '\t';
    n += putDecimal(head + n, time.wHour, 2);
    head[n++] = ':';
    n += putDecimal(head + n, time.wMinute, 2);
    head[n++] = ':';
    n += putDecimal(head + n, time.wSecond, 2);
    head[n++] = '.';
    n += putDecimal(head + n, time.wMilliseconds, 3);
    head[n++] = '\t';
    n += putDecimal(head + n, threadId, 4);
    head[n++] = '\t';

    char tail[32];
    size_t t = 0;
    tail[t++] = '\t';
    tail[t++] = '(';
    if (line < 0) {
        tail[t++] = '-';
    }
    t += putDecimal(tail + t, line < 0 ? 0ull - static_cast<unsigned long long>(line) : static_cast<unsigned long long>(line), 1);
    tail[t++] = ')';
    tail[t++] = ':';

    const size_t total = n + functionLength + t;
    if (capacity == 0) {
        return static_cast<int>(total);
    }
    if (total >= capacity) {
        out[0] = '\0';
        return static_cast<int>(total);
    }
    std::memcpy(out, head, n);
    std::memcpy(out + n, function, functionLength);
    std::memcpy(out + n + functionLength, tail, t);
    out[total] = '\0';
    return static_cast<int>(total);
}

LogStream::LogStream(const char* function, int line, LogPriority priority)
    : std::strstream(m_buffer, kCapacity, std::ios::in | std::ios::out), m_priority(priority)
{
    SYSTEMTIME now;
    currentLocalTime(now);
    const int length = formatRecordPrefix(m_buffer, kCapacity, now, GetCurrentThreadId(), function, line);
    if (length < 0 || static_cast<size_t>(length) >= kCapacity) {
        setstate(std::ios::badbit);
        return;
    }
    seekp(length);
}

size_t LogStream::size() noexcept
{
    const std::streampos position = tellp();
    return position < 0 ? 0 : static_cast<size_t>(position);
}

LogStream& LogStream::operator<<(const wchar_t* text)
{
    if (!text || fail()) {
        return *this;
    }
    const size_t used = size();
    if (used + kLineEndSize > kCapacity) {
        setstate(std::ios::badbit);
        return *this;
    }
    const size_t room = kCapacity - kLineEndSize - used;

    // Every UTF-16 unit becomes at least one byte, so no more than `room`
    // units can fit; a pair is never split, so it cannot turn into U+FFFD.
    size_t units = wcslen(text);
    if (units > room) {
        units = room;
        if (units > 0 && isHighSurrogate(text[units - 1])) {
            --units;
        }
    }
    if (units == 0) {
        return *this;
    }

    // Plain ASCII, the usual message, is one byte per unit: no conversion
    // call is needed, and the bytes are those the conversion would give.
    char utf8[3 * kCapacity];
    size_t ascii = 0;
    while (ascii < units && text[ascii] < 0x80) {
        utf8[ascii] = static_cast<char>(text[ascii]);
        ++ascii;
    }
    if (ascii == units) {
        write(utf8, static_cast<std::streamsize>(units));
        return *this;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), utf8,
                                    static_cast<int>(sizeof utf8), nullptr, nullptr);
    if (bytes <= 0) {
        return *this;
    }
    const size_t length = text::utf8CutLength(std::string_view(utf8, static_cast<size_t>(bytes)), room);
    write(utf8, static_cast<std::streamsize>(length));
    return *this;
}

LogStream::~LogStream()
{
    LogWriter* writer = LogWriter::instance();
    if (!writer) {
        return;
    }
    write(kLineEnd, kLineEndSize);
    if (fail()) {
        return;
    }
    writer->append(m_buffer, size(), m_priority);
}

}  // namespace common
