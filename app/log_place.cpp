#include "log_place.h"

#include "common/log.h"
#include "utility/ufile.h"

#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kLogFolder[] = L"log";
constexpr wchar_t kLogFile[] = L"\\orvprs.log";
constexpr wchar_t kUserFolder[] = L"orvpresd\\log";

// Makes the folder and opens the log in it; the system's reason when not.
bool openIn(const std::wstring& folder, uint32_t& error)
{
    if (!utility::ufile::makeDir(folder)) {
        error = GetLastError();
        return false;
    }
    return common::initLog(folder + kLogFile, &error);
}

}  // namespace

void openLog()
{
    const std::wstring besideProgram = utility::ufile::getModuleDir() + kLogFolder;
    uint32_t error = 0;
    if (openIn(besideProgram, error)) {
        return;
    }
    const std::wstring userData = utility::ufile::getLocalAppDataDir();
    uint32_t userError = 0;
    if (userData.empty() || !openIn(userData + kUserFolder, userError)) {
        return;  // no place for a log: the daemon works on without one
    }
    ORV_LOG_LIFECYCLE("openLog", L"the log cannot be written beside the program, in %s (error %d: %s); it is written "
                                 L"here instead",
                      besideProgram.c_str(), static_cast<int>(error), utility::ufile::describeWriteError(error).c_str());
}
