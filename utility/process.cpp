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

bool isProcessExist(const std::wstring& exeName)
{
    std::list<ProcessInfo> processes;
    enumProcess(processes);
    if (processes.empty()) {
        return false;
    }
    std::wstring wanted = exeName;
    ustring::toLower(wanted);
    for (const ProcessInfo& process : processes) {
        std::wstring name = process.exeName;
        ustring::toLower(name);
        if (name == wanted) {
            return true;
        }
    }
    return false;
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
