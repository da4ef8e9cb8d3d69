#include "utility/ufile.h"

#include "common/kept_texts.h"
#include "common/log.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

namespace utility::ufile {

std::wstring getModuleDir()
{
    return getParentDir(getModulePath());
}

// GetModuleFileNameW: "If the buffer is too small to hold the module name,
// the string is truncated to nSize characters including the terminating null
// character, the function returns nSize, and the function sets the last error
// to ERROR_INSUFFICIENT_BUFFER" (Windows XP leaves the error unset and the
// string unterminated: a full buffer is read as too small whatever the
// error). A program may live under a path longer than MAX_PATH, up to the
// 32,767 units of an extended-length path.
// https://learn.microsoft.com/windows/win32/api/libloaderapi/nf-libloaderapi-getmodulefilenamew
std::wstring getModulePath(ReadModuleName read)
{
    constexpr DWORD kLongestPath = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = read(nullptr, path.data(), size);
        if (length == 0) {
            ORV_LOG("utility::ufile::getModulePath", L"the program's own path cannot be read (error %d)",
                    static_cast<int>(GetLastError()));
            return std::wstring();
        }
        if (length < size) {
            path.resize(length);
            return path;
        }
        if (size >= kLongestPath) {
            ORV_LOG("utility::ufile::getModulePath", L"the program's own path is longer than %d units",
                    static_cast<int>(kLongestPath));
            return std::wstring();
        }
        path.resize(std::min<size_t>(size_t{size} * 2, kLongestPath));
    }
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
    // SHCreateDirectory's documentation gives ERROR_FILE_EXISTS for "the
    // directory exists" too; a file of that name is still a failure.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (result == ERROR_FILE_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    ORV_LOG("utility::ufile::makeDir", kept::kMakeDirFailed, result);
    SetLastError(static_cast<DWORD>(result));
    return false;
}

namespace {

std::wstring environmentVariable(const wchar_t* name)
{
    std::vector<wchar_t> value(MAX_PATH);
    DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length >= value.size()) {  // too small: the size needed, terminator included
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    }
    return length < value.size() ? std::wstring(value.data(), length) : std::wstring();
}

// The system's own text for an error code, without its line break.
std::wstring systemText(DWORD error)
{
    wchar_t text[256] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  256, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L'.')) {
        --length;
    }
    return std::wstring(text, length);
}

}  // namespace

std::wstring getLocalAppDataDir()
{
    std::wstring dir = environmentVariable(L"LOCALAPPDATA");
    if (dir.empty()) {
        // Windows Vista and later; the string is freed with CoTaskMemFree
        // whether the call succeeds or not.
        PWSTR known = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known)) && known) {
            dir = known;
        }
        CoTaskMemFree(known);
    }
    if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') {
        dir += L'\\';
    }
    return dir;
}

std::wstring describeWriteError(uint32_t error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return L"this user may not write there: the folder is read-only for this user, as Program Files is for a "
               L"standard user";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_CANNOT_MAKE:
        return L"the folder cannot be made there: a file of the same name may stand in its way";
    case ERROR_WRITE_PROTECT:
        return L"the drive is write-protected";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return L"another program holds the log file and lets no one else write it";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return L"the disk is full";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return L"the folder's path is not one Windows can use (too long, or not a full path)";
    }
    const std::wstring text = systemText(error);
    return text.empty() ? L"an error Windows gives no text for" : text;
}

}  // namespace utility::ufile
