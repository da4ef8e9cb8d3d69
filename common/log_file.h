#pragma once

#include "common/unique_handle.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// The log writer's file: appending, byte-exact writes, shared with other
// processes for reading and writing, 64-bit positions. Once a write fails the
// file stays failed and takes nothing more.
class LogFile {
public:
    // Opens, creating it if missing; an existing file whose first two bytes
    // are a UTF-16 byte-order mark is emptied.
    bool open(const std::wstring& path);

    bool good() const noexcept { return m_handle.valid() && !m_failed; }

    bool append(const char* data, size_t size);

    // Size of the file, or -1 when it is not usable.
    int64_t size() const;

    // Keeps only the last `keep` bytes of the file.
    bool cutToLast(uint64_t keep);

private:
    bool readAt(uint64_t offset, char* data, size_t size) const;
    bool truncate();

    UniqueFileHandle m_handle;
    bool m_failed = false;
};

}  // namespace common
