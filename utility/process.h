#pragma once

#include "common/unique_handle.h"

#include <windows.h>

#include <cstdint>
#include <list>
#include <string>
#include <utility>

namespace utility::process {

struct ProcessInfo {
    std::wstring exeName;  // file name and extension, no directory
    uint32_t pid = 0;
};

// Appends every running process, in snapshot order. A failure leaves the list
// as it was and is logged.
void enumProcess(std::list<ProcessInfo>& processes);

// Whether a process with this executable name runs: the whole name, with
// ASCII letters compared in any case.
bool isProcessExist(const std::wstring& exeName);

// Whether the open process's image file bears this name: the whole file name,
// ASCII letters in any case. False when the name cannot be read. The handle
// needs PROCESS_QUERY_LIMITED_INFORMATION.
bool imageNameIs(HANDLE process, const std::wstring& exeName);

// Answers isProcessExist(name) for one name, counting only processes in this
// process's own session (another user's front end on the same machine does
// not count), cheaply while the process found last time still runs: it
// holds that process open, so its id cannot be reused, and takes a full
// snapshot only once it has ended.
class ProcessWatch {
public:
    // How a process's session is told; the system's ProcessIdToSessionId
    // unless a test gives another.
    using SessionOf = BOOL(WINAPI*)(DWORD pid, DWORD* session);

    explicit ProcessWatch(std::wstring exeName, SessionOf sessionOf = &ProcessIdToSessionId)
        : m_exeName(std::move(exeName)), m_sessionOf(sessionOf)
    {
    }
    ~ProcessWatch() = default;
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    bool isRunning();

private:
    bool inOurSession(DWORD pid) const;

    std::wstring m_exeName;
    SessionOf m_sessionOf;
    common::UniqueHandle m_found;
};

}  // namespace utility::process

namespace utility {

// A named mutex; null when it cannot be created, or when it exists already
// and failIfExists is set.
HANDLE createMutex(const std::wstring& name, bool initialOwner, bool failIfExists);

}  // namespace utility
