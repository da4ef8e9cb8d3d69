#pragma once

#include "handles/unique_handle.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace utility::process {

struct ProcessInfo {
    std::wstring exeName;  // file name and extension, no directory
    uint32_t pid = 0;
};

// How the process list is taken: CreateToolhelp32Snapshot's shape; tests
// give one that fails.
using TakeSnapshot = HANDLE(WINAPI*)(DWORD flags, DWORD pid);

// Appends every running process, in snapshot order. False, with the list as
// it was and the system's error in GetLastError, when no snapshot could be
// read: then nothing is known of any process.
bool enumProcess(std::list<ProcessInfo>& processes, TakeSnapshot takeSnapshot = &CreateToolhelp32Snapshot);

// Whether a process with this executable name runs: the whole name, with
// ASCII letters compared in any case.
bool isProcessExist(const std::wstring& exeName);

// Whether the open process's image file bears this name: the whole file name,
// ASCII letters in any case. False when the name cannot be read. The handle
// needs PROCESS_QUERY_LIMITED_INFORMATION.
bool imageNameIs(HANDLE process, const std::wstring& exeName);

struct ProcessSession {
    DWORD pid = 0;
    DWORD session = 0;
};

// Replaces sessions with the session of every process, as the system's
// process list tells it without any right on the processes. False, logged,
// when the list cannot be had.
bool listSessions(std::vector<ProcessSession>& sessions);

// Answers isProcessExist(name) for one name, counting only processes in this
// process's own session (another user's front end on the same machine does
// not count), cheaply while the process found last time still runs: it
// holds that process open, so its id cannot be reused, and takes a full
// snapshot only once it has ended.
class ProcessWatch {
public:
    // How a process's session is told: first the system's
    // ProcessIdToSessionId, which needs rights on the process; where that
    // fails (a front end running elevated), the system's process list, at
    // most once a call. Tests give others.
    using SessionOf = BOOL(WINAPI*)(DWORD pid, DWORD* session);
    using ListSessions = bool (*)(std::vector<ProcessSession>& sessions);

    explicit ProcessWatch(std::wstring exeName, SessionOf sessionOf = &ProcessIdToSessionId,
                          ListSessions list = &listSessions, TakeSnapshot takeSnapshot = &CreateToolhelp32Snapshot)
        : m_exeName(std::move(exeName)), m_sessionOf(sessionOf), m_listSessions(list), m_takeSnapshot(takeSnapshot)
    {
    }
    ~ProcessWatch() = default;
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    // True while no process list can be read (unknown is not gone), logged
    // once when that starts and once when it ends; after kMostUnknownLooks
    // looks in a row without one, false (and logged).
    static constexpr int kMostUnknownLooks = 30;
    bool isRunning();

private:
    struct SessionList {
        bool asked = false;
        bool answered = false;
        std::vector<ProcessSession> sessions;
    };
    // listed: the system's process list, asked for once it is first needed.
    bool inOurSession(DWORD pid, SessionList& listed) const;

    std::wstring m_exeName;
    SessionOf m_sessionOf;
    ListSessions m_listSessions;
    TakeSnapshot m_takeSnapshot;
    handles::UniqueHandle m_found;
    int m_failedSnapshots = 0;  // looks in a row without a process list
};

}  // namespace utility::process
