#pragma once

#include "handles/unique_handle.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// The name of the mutex that keeps the writers of the log file at path apart,
// whatever case the path is given in. A writer waits for it a bounded time,
// then writes without it.
std::wstring logFileMutexName(const std::wstring& path);

// The log writer's file: appending, byte-exact writes, shared with other
// processes for reading and writing, 64-bit positions. Once a write fails the
// file stays failed and takes nothing more.
//
// Another process may write the same file (a second start logs its hand-over
// while the daemon runs): every write goes to the end of the file whole, as
// the handle may only append, and a named mutex of the path keeps each write
// and each cut apart from the other process's.
class LogFile {
public:
    // Opens, creating it if missing; an existing file whose first two bytes
    // are a UTF-16 byte-order mark is emptied.
    bool open(const std::wstring& path);

    bool good() const noexcept { return m_handle.valid() && !m_failed; }

    bool append(const char* data, size_t size);

    // Size of the file, or -1 when it is not usable.
    int64_t size() const;

    // Once the file holds at least cutAt bytes, keeps only its last `keep`.
    bool cutIfAtLeast(uint64_t cutAt, uint64_t keep);

private:
    class Lock;

    bool readAt(uint64_t offset, char* data, size_t size) const;
    bool writeAll(HANDLE handle, const char* data, size_t size);
    // Empties the file and writes data into it, through a handle of its own.
    bool replaceWith(const char* data, size_t size);

    std::wstring m_path;
    handles::UniqueFileHandle m_handle;
    handles::UniqueHandle m_mutex;  // null when it could not be made: no other writer is kept apart
    bool m_failed = false;
    bool m_patient = true;  // false once a wait for the mutex ran out, until it is had again
};

}  // namespace common
