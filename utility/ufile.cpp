#include "utility/ufile.h"

#include "common/log.h"

#include <windows.h>
#include <shlobj.h>

namespace utility::ufile {

std::wstring getModuleDir()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return getParentDir(path);
}

std::wstring getParentDir(const std::wstring& path)
{
    if (path.size() <= 1) {
        return std::wstring();
    }
    std::wstring copy = path;
    if (copy.back() == L'\\' || copy.back() == L'/') {
        copy.pop_back();
    }
    size_t separator = copy.rfind(L'\\');
    if (separator == std::wstring::npos) {
        separator = copy.rfind(L'/');
    }
    if (separator == std::wstring::npos) {
        return std::wstring();
    }
    return copy.substr(0, separator + 1);
}

bool makeDir(const std::wstring& path)
{
    const int result = SHCreateDirectory(nullptr, path.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) {
        return true;
    }
    ORV_LOG("utility::ufile::makeDir", L"make dir failed! error = %d.", result);
    return false;
}

}  // namespace utility::ufile
