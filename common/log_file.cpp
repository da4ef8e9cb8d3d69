#include "common/log_file.h"

#include <limits>
#include <vector>

namespace common {

bool LogFile::open(const std::wstring& path)
{
    m_failed = false;
    m_handle.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_handle) {
        return false;
    }
    unsigned char head[2] = {};
    if (readAt(0, reinterpret_cast<char*>(head), sizeof head) && head[0] == 0xFF && head[1] == 0xFE) {
        return truncate();
    }
    return true;
}

bool LogFile::readAt(uint64_t offset, char* data, size_t size) const
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        DWORD read = 0;
        if (!ReadFile(m_handle.get(), data + done, chunk, &read, &at) || read == 0) {
            return false;
        }
        done += read;
        const uint64_t next = offset + done;
        at.Offset = static_cast<DWORD>(next & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(next >> 32);
    }
    return true;
}

bool LogFile::truncate()
{
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(m_handle.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(m_handle.get())) {
        m_failed = true;
        return false;
    }
    return true;
}

bool LogFile::append(const char* data, size_t size)
{
    if (!good()) {
        return false;
    }
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(m_handle.get(), zero, nullptr, FILE_END)) {
        m_failed = true;
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(m_handle.get(), data + done, chunk, &written, nullptr) || written == 0) {
            m_failed = true;
            return false;
        }
        done += written;
    }
    return true;
}

int64_t LogFile::size() const
{
    LARGE_INTEGER size = {};
    if (!good() || !GetFileSizeEx(m_handle.get(), &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool LogFile::cutToLast(uint64_t keep)
{
    const int64_t total = size();
    if (total < 0 || static_cast<uint64_t>(total) <= keep) {
        return total >= 0;
    }
    std::vector<char> tail(static_cast<size_t>(keep));
    if (!readAt(static_cast<uint64_t>(total) - keep, tail.data(), tail.size())) {
        m_failed = true;
        return false;
    }
    return truncate() && append(tail.data(), tail.size());
}

}  // namespace common
