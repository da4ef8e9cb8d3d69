#include "utility/ufile.h"
#include "common/kept_texts.h"
#include "support/kept_text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

using utility::ufile::getParentDir;

TEST(GetParentDir, TakesTheDirectoryPartWithItsSeparator)
{
    EXPECT_EQ(getParentDir(L"C:\\Apps\\X\\orvpresd.exe"), L"C:\\Apps\\X\\");
    EXPECT_EQ(getParentDir(L"C:\\Apps\\X\\"), L"C:\\Apps\\");  // one trailing separator is dropped first
    EXPECT_EQ(getParentDir(L"C:/a/b.exe"), L"C:/a/");
    EXPECT_EQ(getParentDir(L"C:\\a/b.exe"), L"C:\\");  // the backslash wins
    EXPECT_EQ(getParentDir(L"C:\\a\\\\"), L"C:\\a\\");  // only one separator is dropped
    EXPECT_EQ(getParentDir(L"orvpresd.exe"), L"");
    EXPECT_EQ(getParentDir(L"\\"), L"");
    EXPECT_EQ(getParentDir(L"x"), L"");
    EXPECT_EQ(getParentDir(L""), L"");
    EXPECT_EQ(getParentDir(L"\\a"), L"\\");
}

TEST(GetModuleDir, IsTheExecutablesDirectoryWithATrailingSeparator)
{
    const std::wstring dir = utility::ufile::getModuleDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), L'\\');
    EXPECT_TRUE(testsupport::fileExists(dir + L"utility_ufile_test.exe")) << std::string(dir.begin(), dir.end());
}

// A program under a path longer than MAX_PATH: the reader plays
// GetModuleFileNameW's documented truncation (nSize units with the null,
// ERROR_INSUFFICIENT_BUFFER); the whole path must come back.
const std::wstring& longModulePath()
{
    static const std::wstring path =
        L"C:\\" + std::wstring(300, L'd') + L"\\" + std::wstring(400, L'e') + L"\\orvpresd.exe";
    return path;
}

DWORD WINAPI readLongModulePath(HMODULE, LPWSTR name, DWORD size)
{
    const std::wstring& path = longModulePath();
    if (path.size() >= size) {
        path.copy(name, size - 1);
        name[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(name, path.size());
    name[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI failToReadModulePath(HMODULE, LPWSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

TEST(GetModulePath, ReadsAPathLongerThanMaxPathWhole)
{
    EXPECT_EQ(utility::ufile::getModulePath(&readLongModulePath), longModulePath());
    EXPECT_TRUE(testsupport::fileExists(utility::ufile::getModulePath()));
}

TEST(GetModulePath, AFailedReadIsEmptyAndLogged)
{
    testsupport::LogCapture log;
    EXPECT_EQ(utility::ufile::getModulePath(&failToReadModulePath), L"");
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].message, L"the program's own path cannot be read (error 8)");
}

TEST(MakeDir, CreatesMissingParentsAndAcceptsAnExistingDirectory)
{
    testsupport::TempDir temp;
    testsupport::LogCapture log;
    const std::wstring nested = temp.path() + L"a\\b\\c";
    EXPECT_TRUE(utility::ufile::makeDir(nested));
    EXPECT_TRUE(testsupport::directoryExists(nested));
    EXPECT_TRUE(utility::ufile::makeDir(nested));
    EXPECT_TRUE(utility::ufile::makeDir(temp.path() + L"a"));
    EXPECT_TRUE(log.entries().empty());
}

TEST(MakeDir, FailureIsLoggedWithTheErrorCode)
{
    testsupport::TempDir temp;
    testsupport::writeFile(temp.file(L"plain"), "a file, not a directory");
    testsupport::LogCapture log;
    EXPECT_FALSE(utility::ufile::makeDir(temp.file(L"plain\\below")));
    const DWORD error = GetLastError();
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].message, testsupport::keptText(kept::kMakeDirFailed, static_cast<int>(error)));
    EXPECT_EQ(log.entries()[0].function, "utility::ufile::makeDir");
    EXPECT_EQ(log.entries()[0].message.back(), L'.');
    EXPECT_NE(log.entries()[0].message, testsupport::keptText(kept::kMakeDirFailed, 0));
}

// The per-user place follows the environment, so that a test (or a user)
// can move it; without the variable it is the known folder.
TEST(GetLocalAppDataDir, IsTheEnvironmentsFolderElseTheKnownOne)
{
    wchar_t saved[MAX_PATH] = {};
    const bool wasSet = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH) > 0;
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"C:\\Users\\u\\AppData\\Local");
    EXPECT_EQ(utility::ufile::getLocalAppDataDir(), L"C:\\Users\\u\\AppData\\Local\\");
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    const std::wstring known = utility::ufile::getLocalAppDataDir();
    SetEnvironmentVariableW(L"LOCALAPPDATA", wasSet ? saved : nullptr);
    ASSERT_GE(known.size(), 4u);
    EXPECT_EQ(known[1], L':');
    EXPECT_EQ(known.back(), L'\\');
}

TEST(DescribeWriteError, SaysWhatTheUserCanDo)
{
    const std::pair<uint32_t, const wchar_t*> cases[] = {
        {ERROR_ACCESS_DENIED, L"read-only for this user"},
        {ERROR_PATH_NOT_FOUND, L"a file of the same name"},
        {ERROR_DIRECTORY, L"a file of the same name"},
        {ERROR_WRITE_PROTECT, L"write-protected"},
        {ERROR_DISK_FULL, L"disk is full"},
        {ERROR_SHARING_VIOLATION, L"another program holds"},
    };
    for (const auto& [error, words] : cases) {
        EXPECT_NE(utility::ufile::describeWriteError(error).find(words), std::wstring::npos) << error;
    }
    EXPECT_FALSE(utility::ufile::describeWriteError(ERROR_NOT_ENOUGH_MEMORY).empty());
}

}  // namespace
