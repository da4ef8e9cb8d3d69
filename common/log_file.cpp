#include "common/log_file.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace common {
namespace {

// Long enough for any write of another process's, short enough that a hung
// one never stops the log: without the mutex a write still lands whole.
constexpr DWORD kLockPatienceMs = 2000;

}  // namespace

// One name for every process that writes the file, whatever case its path
// was given in.
std::wstring logFileMutexName(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    if (full.empty()) {
        full = path;
    }
    CharLowerBuffW(full.data(), static_cast<DWORD>(full.size()));
    uint64_t hash = 14695981039346656037ull;  // FNV-1a over the UTF-16 units
    for (const wchar_t unit : full) {
        hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
    }
    std::wstring name = L"orvpresd-log-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    }
    return name;
}

// Holds the file's mutex for one write or cut; an abandoned mutex is taken
// over, and one that cannot be had in time is done without. Once a wait ran
// out, the next ones only try, until the mutex is had again: a process that
// holds it for ever then costs one wait, not one per write (the way out
// writes what is pending while its senders wait).
class LogFile::Lock {
public:
    Lock(HANDLE mutex, bool& patient) : m_mutex(mutex)
    {
        if (m_mutex) {
            const DWORD waited = WaitForSingleObject(m_mutex, patient ? kLockPatienceMs : 0);
            m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
            patient = m_held;
        }
    }
    ~Lock()
    {
        if (m_held) {
            ReleaseMutex(m_mutex);
        }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const noexcept { return m_held; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

bool LogFile::open(const std::wstring& path)
{
    m_failed = false;
    m_path = path;
    m_mutex.reset(CreateMutexW(nullptr, FALSE, logFileMutexName(path).c_str()));
    // Appending only: without FILE_WRITE_DATA every write lands at the end of
    // the file as it is then, whoever else wrote meanwhile.
    m_handle.reset(CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_handle) {
        return false;
    }
    Lock lock(m_mutex.get(), m_patient);
    unsigned char head[2] = {};
    if (readAt(0, reinterpret_cast<char*>(head), sizeof head) && head[0] == 0xFF && head[1] == 0xFE) {
        return replaceWith(nullptr, 0);
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

bool LogFile::writeAll(HANDLE handle, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(handle, data + done, chunk, &written, nullptr) || written == 0) {
            m_failed = true;
            return false;
        }
        done += written;
    }
    return true;
}

bool LogFile::replaceWith(const char* data, size_t size)
{
    handles::UniqueFileHandle writer(CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writer) {
        m_failed = true;
        return false;
    }
    return writeAll(writer.get(), data, size);
}

bool LogFile::append(const char* data, size_t size)
{
    if (!good()) {
        return false;
    }
    Lock lock(m_mutex.get(), m_patient);
    return writeAll(m_handle.get(), data, size);
}

int64_t LogFile::size() const
{
    LARGE_INTEGER size = {};
    if (!good() || !GetFileSizeEx(m_handle.get(), &size)) {
        return -1;
    }
    return size.QuadPart;
}

bool LogFile::cutIfAtLeast(uint64_t cutAt, uint64_t keep)
{
    Lock lock(m_mutex.get(), m_patient);
    if (m_mutex && !lock.held()) {
        return true;  // another writer is busy: the next batch tries again
    }
    const int64_t total = size();
    if (total < 0 || static_cast<uint64_t>(total) < cutAt || static_cast<uint64_t>(total) <= keep) {
        return total >= 0;
    }
    std::vector<char> tail(static_cast<size_t>(keep));
    if (!readAt(static_cast<uint64_t>(total) - keep, tail.data(), tail.size())) {
        m_failed = true;
        return false;
    }
    return replaceWith(tail.data(), tail.size());
}

}  // namespace common
