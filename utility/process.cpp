#include "utility/process.h"

#include "common/log.h"
#include "common/unique_handle.h"
#include "utility/ustring.h"

#include <tlhelp32.h>

namespace utility::process {

void enumProcess(std::list<ProcessInfo>& processes)
{
    common::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        ORV_LOG("utility::process::enumProcess", L"create tool help snapshot failed! err = %d",
                static_cast<int>(GetLastError()));
        return;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) {
        ORV_LOG("utility::process::enumProcess", L"process32First failed! err = %d",
                static_cast<int>(GetLastError()));
        return;
    }
    std::list<ProcessInfo> found;
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        found.push_back({entry.szExeFile, entry.th32ProcessID});
    } while (Process32NextW(snapshot.get(), &entry));
    processes.splice(processes.end(), found);
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

}  // namespace

bool isProcessExist(const std::wstring& exeName)
{
    std::list<ProcessInfo> processes;
    enumProcess(processes);
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
    enumProcess(processes);
    const ProcessInfo* process =
        findByName(processes, m_exeName, [this](const ProcessInfo& found) { return inOurSession(found.pid); });
    if (!process) {
        return false;
    }
    // The id comes from a snapshot: that process may have ended since, and
    // its id gone to another. Only a process that still bears the name is
    // held. Without a handle (another user's process, say) every tick
    // snapshots.
    common::UniqueHandle opened(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process->pid));
    if (opened && WaitForSingleObject(opened.get(), 0) == WAIT_TIMEOUT && imageNameIs(opened.get(), m_exeName)) {
        m_found = std::move(opened);
    }
    return true;
}

// A process whose session cannot be told is taken for another user's: our
// own user's processes always answer.
bool ProcessWatch::inOurSession(DWORD pid) const
{
    DWORD ours = 0;
    DWORD theirs = 0;
    if (!m_sessionOf(GetCurrentProcessId(), &ours)) {
        return true;  // nothing to compare with: the name decides, as before
    }
    return m_sessionOf(pid, &theirs) && theirs == ours;
}

}  // namespace utility::process

namespace utility {

HANDLE createMutex(const std::wstring& name, bool initialOwner, bool failIfExists)
{
    HANDLE mutex = CreateMutexW(nullptr, initialOwner ? TRUE : FALSE, name.c_str());
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS && failIfExists) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

}  // namespace utility
