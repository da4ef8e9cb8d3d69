#include "support/child_process.h"

#include <cstdio>
#include <vector>

namespace testsupport {

ChildProcess::~ChildProcess()
{
    kill();
    if (m_info.hProcess) {
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }
}

bool ChildProcess::start(const std::wstring& commandLine, const std::wstring& dir)
{
    if (m_info.hProcess) {  // a start after a kill: the earlier process's handles go
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
        m_info = {};
    }
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // Under Wine on a loaded machine a creation has failed once in hundreds
    // of starts with nothing wrong in the program: tried a few times more.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           dir.empty() ? nullptr : dir.c_str(), &startup, &m_info)) {
            return true;
        }
        const DWORD error = GetLastError();
        std::fprintf(stderr, "CreateProcessW failed (error %lu): %ls\n", error, commandLine.c_str());
        Sleep(200);
    }
    return false;
}

DWORD ChildProcess::wait(DWORD timeoutMs)
{
    if (!m_info.hProcess || WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

bool ChildProcess::running() const
{
    return m_info.hProcess && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

void ChildProcess::kill()
{
    if (running()) {
        TerminateProcess(m_info.hProcess, 99);
        WaitForSingleObject(m_info.hProcess, 5000);
    }
}

std::wstring programDir()
{
    // A full buffer means the path was cut (GetModuleFileNameW): grow it.
    std::wstring dir(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, dir.data(), static_cast<DWORD>(dir.size()))) == dir.size() &&
           dir.size() < 32768) {
        dir.resize(dir.size() * 2);
    }
    dir.resize(length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

}  // namespace testsupport
