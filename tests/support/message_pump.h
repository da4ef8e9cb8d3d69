#pragma once

#include <windows.h>

#include <functional>

namespace testsupport {

// Dispatches this thread's messages until done() holds or timeoutMs passes;
// whether done() held.
bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Dispatches messages until the process ends; its exit code, or STILL_ACTIVE.
DWORD pumpWhileRunning(HANDLE process, DWORD timeoutMs);

}  // namespace testsupport
