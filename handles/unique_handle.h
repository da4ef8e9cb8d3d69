#pragma once

#include <windows.h>

namespace handles {

// Closes a kernel handle, if it is one, without disturbing the last error.
inline void closeQuietly(HANDLE handle) noexcept
{
    if (handle && handle != INVALID_HANDLE_VALUE) {
        const DWORD lastError = GetLastError();
        CloseHandle(handle);
        SetLastError(lastError);
    }
}

// One owner per kernel handle. Empty is null for most handles and
// INVALID_HANDLE_VALUE for files and snapshots, so the policy is a parameter.
// Closing never changes the thread's last error. A mutex this thread owns is
// released before its handle closes, so that it is not left abandoned.
template <bool InvalidIsEmpty, bool ReleasesMutex = false>
class BasicUniqueHandle {
public:
    BasicUniqueHandle() noexcept = default;
    explicit BasicUniqueHandle(HANDLE handle) noexcept : m_handle(handle) {}
    ~BasicUniqueHandle() { reset(); }

    BasicUniqueHandle(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : m_handle(other.release()) {}
    BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    static HANDLE emptyValue() noexcept { return InvalidIsEmpty ? INVALID_HANDLE_VALUE : nullptr; }

    HANDLE get() const noexcept { return m_handle; }
    bool valid() const noexcept { return m_handle != emptyValue() && m_handle != nullptr; }
    explicit operator bool() const noexcept { return valid(); }

    HANDLE release() noexcept
    {
        HANDLE handle = m_handle;
        m_handle = emptyValue();
        return handle;
    }

    void reset(HANDLE handle = emptyValue()) noexcept
    {
        if (valid()) {
            if (ReleasesMutex) {
                const DWORD lastError = GetLastError();
                ReleaseMutex(m_handle);
                SetLastError(lastError);
            }
            closeQuietly(m_handle);
        }
        m_handle = handle;
    }

private:
    HANDLE m_handle = emptyValue();
};

using UniqueHandle = BasicUniqueHandle<false>;
using UniqueFileHandle = BasicUniqueHandle<true>;
using OwnedMutex = BasicUniqueHandle<false, true>;

}  // namespace handles
