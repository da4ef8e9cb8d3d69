#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// A process started by a test; killed when the object goes if still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `commandLine` (program path first, quoted as needed) in dir.
    bool start(const std::wstring& commandLine, const std::wstring& dir = std::wstring());
    // The exit code, or STILL_ACTIVE when it did not end within timeoutMs.
    DWORD wait(DWORD timeoutMs);
    bool running() const;
    void kill();
    DWORD pid() const { return m_info.dwProcessId; }
    HANDLE handle() const { return m_info.hProcess; }

private:
    PROCESS_INFORMATION m_info = {};
};

// The folder of the running test program, with a trailing backslash.
std::wstring programDir();

}  // namespace testsupport
