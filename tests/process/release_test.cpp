// The release archive as a user gets it: unpacked into a fresh folder (by
// run_release_test.sh, which passes the folder in ORVPRESD_RELEASE_DIR), its
// programs carry their version, and the daemon runs from there.
#include "support/child_process.h"
#include "common/kept_texts.h"
#include "support/kept_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using testsupport::ChildProcess;

std::wstring releaseDir()
{
    const wchar_t* dir = _wgetenv(L"ORVPRESD_RELEASE_DIR");
    return dir ? std::wstring(dir) + L"\\" : std::wstring();
}

// A string of a file's version resource, in the language the project writes.
std::wstring versionString(const std::vector<BYTE>& block, const wchar_t* name)
{
    void* value = nullptr;
    UINT size = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &size) || size == 0) {
        return std::wstring();
    }
    return std::wstring(static_cast<const wchar_t*>(value), size - 1);
}

TEST(ReleaseArchive, EveryProgramSaysWhatItIsAndItsVersion)
{
    ASSERT_FALSE(releaseDir().empty()) << "run through run_release_test.sh";
    for (const wchar_t* file : {L"orvpresd.exe", L"orvpres-send.exe", L"discord_game_sdk.dll"}) {
        SCOPED_TRACE(std::string(file, file + wcslen(file)));
        const std::wstring path = releaseDir() + file;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<BYTE> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedSize = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
        EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), ORVPRESD_VERSION_MAJOR);
        EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), ORVPRESD_VERSION_MINOR);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

        EXPECT_EQ(versionString(block, L"FileVersion"), ORVPRESD_VERSION);
        EXPECT_EQ(versionString(block, L"ProductVersion"), ORVPRESD_VERSION);
        EXPECT_EQ(versionString(block, L"ProductName"), L"orvpresd");
        EXPECT_EQ(versionString(block, L"OriginalFilename"), file);
        EXPECT_EQ(versionString(block, L"InternalName") + (wcsstr(file, L".dll") ? L".dll" : L".exe"), file);
        EXPECT_FALSE(versionString(block, L"FileDescription").empty());
        EXPECT_NE(versionString(block, L"LegalCopyright").find(L"MIT"), std::wstring::npos);
    }
}

TEST(ReleaseArchive, TheDaemonRunsFromTheUnpackedFolder)
{
    ASSERT_FALSE(releaseDir().empty()) << "run through run_release_test.sh";
    for (const wchar_t* file : {L"README.md", L"LICENSE", L"THIRD-PARTY-NOTICES.txt", L"deploy.txt"}) {
        EXPECT_NE(GetFileAttributesW((releaseDir() + file).c_str()), INVALID_FILE_ATTRIBUTES)
            << std::string(file, file + wcslen(file)) << " is missing";
    }
    testsupport::TempDir work;
    const std::wstring records = work.file(L"peer.jsonl");
    ChildProcess peer;
    ASSERT_TRUE(peer.start(L"\"" + testsupport::programDir() + L"discord-peer.exe\" --pipe 0 --out \"" + records + L"\""));
    ChildProcess frontEnd;
    ASSERT_TRUE(frontEnd.start(L"\"" + testsupport::programDir() + L"orvhost.exe\" 120"));
    const ULONGLONG listening = GetTickCount64() + 60000;
    while (!WaitNamedPipeW(L"\\\\.\\pipe\\discord-ipc-0", 0) && GetLastError() != ERROR_SEM_TIMEOUT &&
           GetTickCount64() < listening) {
        Sleep(25);  // the peer is still starting
    }
    ChildProcess daemon;
    ASSERT_TRUE(daemon.start(L"\"" + releaseDir() + L"orvpresd.exe\" details=From the archive|state=unpacked",
                             releaseDir()));
    const ULONGLONG deadline = GetTickCount64() + 60000;
    std::string seen;
    while (GetTickCount64() < deadline &&
           (seen = testsupport::readFile(records)).find("From the archive") == std::string::npos) {
        Sleep(50);
    }
    EXPECT_NE(seen.find("SET_ACTIVITY"), std::string::npos) << seen;
    EXPECT_NE(seen.find("From the archive"), std::string::npos) << seen;
    frontEnd.kill();
    EXPECT_EQ(daemon.wait(15000), 0u);
    EXPECT_NE(testsupport::readFile(releaseDir() + L"log\\orvprs.log").find(testsupport::keptBytes(kept::kInitSuccess)),
              std::string::npos)
        << "no log beside the executable";
}

}  // namespace
