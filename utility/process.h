#pragma once

#include <windows.h>

#include <cstdint>
#include <list>
#include <string>

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

}  // namespace utility

namespace utility {

// A named mutex; null when it cannot be created, or when it exists already
// and failIfExists is set.
HANDLE createMutex(const std::wstring& name, bool initialOwner, bool failIfExists);

}  // namespace utility
