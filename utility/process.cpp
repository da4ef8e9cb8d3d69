#include "utility/process.h"

#include "common/kept_texts.h"
#include "common/log.h"
#include "handles/unique_handle.h"
#include "utility/ustring.h"

#include <wtsapi32.h>

#include <memory>

namespace utility::process {

// CreateToolhelp32Snapshot: "If the function fails, it returns
// INVALID_HANDLE_VALUE" (the system short of memory, say); a failure says
// nothing of whether a process runs.
// https://learn.microsoft.com/windows/win32/api/tlhelp32/nf-tlhelp32-createtoolhelp32snapshot
bool enumProcess(std::list<ProcessInfo>& processes, TakeSnapshot takeSnapshot)
{
    handles::UniqueFileHandle snapshot(takeSnapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) {
        return false;
    }
    std::list<ProcessInfo> found;
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        found.push_back({entry.szExeFile, entry.th32ProcessID});
    } while (Process32NextW(snapshot.get(), &entry));
    processes.splice(processes.end(), found);
    return true;
}

namespace {

// The first process with this executable name, compared as isProcessExist
// does, that also passes the test.
template <typename Test>
const ProcessInfo* findByName(const std::list<ProcessInfo>& processes, const std::wstring& exeName, Test test)
{
    std::wstring wanted = exeName;
    ustring::toLower(wanted);
    for (const ProcessInfo& process : processes) {
        std::wstring name = process.exeName;
        ustring::toLower(name);
        if (name == wanted && test(process)) {
            return &process;
        }
    }
    return nullptr;
}

const ProcessInfo* findByName(const std::list<ProcessInfo>& processes, const std::wstring& exeName)
{
    return findByName(processes, exeName, [](const ProcessInfo&) { return true; });
}

struct WtsMemoryFree {
    void operator()(void* memory) const noexcept { WTSFreeMemory(memory); }
};

}  // namespace

bool isProcessExist(const std::wstring& exeName)
{
    std::list<ProcessInfo> processes;
    if (!enumProcess(processes)) {
        ORV_LOG("utility::process::isProcessExist", L"the list of processes cannot be read (error %d)",
                static_cast<int>(GetLastError()));
    }
    return findByName(processes, exeName) != nullptr;
}

bool imageNameIs(HANDLE process, const std::wstring& exeName)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = static_cast<DWORD>(sizeof path / sizeof path[0]);
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) {
        return false;
    }
    std::wstring name(path, size);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        name.erase(0, slash + 1);
    }
    std::wstring wanted = exeName;
    ustring::toLower(name);
    ustring::toLower(wanted);
    return name == wanted;
}

bool ProcessWatch::isRunning()
{
    if (m_found) {
        if (WaitForSingleObject(m_found.get(), 0) == WAIT_TIMEOUT) {
            return true;
        }
        m_found.reset();
    }
    std::list<ProcessInfo> processes;
    if (!enumProcess(processes, m_takeSnapshot)) {
        const int error = static_cast<int>(GetLastError());
        if (m_failedSnapshots == 0) {
            ORV_LOG("utility::process::ProcessWatch", kept::kSnapshotFailed, error);
            ORV_LOG("utility::process::ProcessWatch",
                    L"the list of processes cannot be read (error %d): %s is taken to run until it can be read again",
                    error, m_exeName.c_str());
        }
        if (++m_failedSnapshots < kMostUnknownLooks) {
            return true;
        }
        // Unknown for so long that a front end gone would go unseen: taken
        // for gone, so that the process does not outlive it for good.
        ORV_LOG("utility::process::ProcessWatch",
                L"the list of processes could not be read %d times in a row (error %d): %s is taken for gone",
                m_failedSnapshots, error, m_exeName.c_str());
        return false;
    }
    if (m_failedSnapshots) {
        ORV_LOG("utility::process::ProcessWatch", L"the list of processes can be read again");
        m_failedSnapshots = 0;
    }
    SessionList listed;
    const ProcessInfo* process = findByName(processes, m_exeName, [this, &listed](const ProcessInfo& found) {
        return inOurSession(found.pid, listed);
    });
    if (!process) {
        return false;
    }
    // The id comes from a snapshot: that process may have ended since, and
    // its id gone to another. Only a process that still bears the name is
    // held. Without a handle (another user's process, say) every tick
    // snapshots.
    handles::UniqueHandle opened(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process->pid));
    if (opened && WaitForSingleObject(opened.get(), 0) == WAIT_TIMEOUT && imageNameIs(opened.get(), m_exeName)) {
        m_found = std::move(opened);
    }
    return true;
}

// ProcessIdToSessionId: "Callers must hold the PROCESS_QUERY_INFORMATION
// access right for the specified process." A program not elevated does not
// get it on an elevated one, of its own user too; the process list tells the
// session of every process without it. A process the list lacks has ended.
// Where neither can tell (nor our own session be had), the name decides: a
// front end of ours must not be taken for gone because the system would not
// say where it runs.
// https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-processidtosessionid
bool ProcessWatch::inOurSession(DWORD pid, SessionList& listed) const
{
    DWORD ours = 0;
    DWORD theirs = 0;
    if (!m_sessionOf(GetCurrentProcessId(), &ours)) {
        return true;
    }
    if (m_sessionOf(pid, &theirs)) {
        return theirs == ours;
    }
    if (!listed.asked) {
        listed.asked = true;
        listed.answered = m_listSessions(listed.sessions);
    }
    if (!listed.answered) {
        return true;
    }
    for (const ProcessSession& process : listed.sessions) {
        if (process.pid == pid) {
            return process.session == ours;
        }
    }
    return false;
}

// WTSEnumerateProcessesW (Windows Vista and later, wtsapi32.dll) lists every
// process with its session from the session manager, not from the process
// objects: no right on them is needed. "The caller must be a member of the
// Administrators group to enumerate processes that are running under
// another user context": an elevated front end of our own user is listed all
// the same, and another user's does not count anyway. The list is freed with
// WTSFreeMemory.
bool listSessions(std::vector<ProcessSession>& sessions)
{
    WTS_PROCESS_INFOW* processes = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
        ORV_LOG("utility::process::listSessions",
                L"WTSEnumerateProcessesW failed, err = %d: the session of a process this program may not open "
                L"cannot be told",
                static_cast<int>(GetLastError()));
        return false;
    }
    const std::unique_ptr<WTS_PROCESS_INFOW, WtsMemoryFree> owned(processes);
    sessions.clear();
    sessions.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        sessions.push_back({processes[i].ProcessId, processes[i].SessionId});
    }
    return true;
}

}  // namespace utility::process
