#include "utility/ufile.h"
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
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].function, "utility::ufile::makeDir");
    EXPECT_EQ(log.entries()[0].message.rfind(L"make dir failed! error = ", 0), 0u);
    EXPECT_EQ(log.entries()[0].message.back(), L'.');
    EXPECT_NE(log.entries()[0].message, L"make dir failed! error = 0.");
}

}  // namespace
