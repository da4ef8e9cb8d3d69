#include "common/log_stream.h"

#include "common/log_writer.h"

#include <cstdio>
#include <cwchar>

namespace common {
namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLineEndSize = 2;

bool isUtf8Continuation(char byte) noexcept
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

bool isHighSurrogate(wchar_t unit) noexcept
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

int formatRecordPrefix(char* out, size_t capacity, const SYSTEMTIME& time, DWORD threadId,
                       const char* function, int line) noexcept
{
    return std::snprintf(out, capacity, "%02d-%02d\t%02d:%02d:%02d.%03d\t%04lu\t%s\t(%d):",
                         time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                         time.wMilliseconds, static_cast<unsigned long>(threadId),
                         function ? function : "", line);
}

LogStream::LogStream(const char* function, int line)
    : std::strstream(m_buffer, kCapacity, std::ios::in | std::ios::out)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
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

    char utf8[3 * kCapacity];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), utf8,
                                    static_cast<int>(sizeof utf8), nullptr, nullptr);
    if (bytes <= 0) {
        return *this;
    }
    size_t length = static_cast<size_t>(bytes);
    if (length > room) {
        length = room;
        while (length > 0 && isUtf8Continuation(utf8[length])) {
            --length;
        }
    }
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
    writer->append(m_buffer, size());
}

}  // namespace common
