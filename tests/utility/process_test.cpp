#include "utility/process.h"

#include "handles/unique_handle.h"
#include "common/kept_texts.h"
#include "support/child_process.h"
#include "support/kept_text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using utility::process::isProcessExist;

// A named mutex; empty when it cannot be created, or when it exists already
// and failIfExists is set.
handles::UniqueHandle createMutex(const std::wstring& name, bool initialOwner, bool failIfExists)
{
    handles::UniqueHandle mutex(CreateMutexW(nullptr, initialOwner ? TRUE : FALSE, name.c_str()));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS && failIfExists) {
        mutex.reset();
    }
    return mutex;
}

// Starts a copy of the waiting stand-in under the given file name.
class NamedProcess {
public:
    NamedProcess(const testsupport::TempDir& dir, const std::wstring& name) : m_path(dir.file(name))
    {
        CopyFileW((testsupport::programDir() + L"orvhost.exe").c_str(), m_path.c_str(), FALSE);
        m_started = m_process.start(L"\"" + m_path + L"\" 60");
    }
    bool started() const { return m_started; }
    DWORD pid() const { return m_process.pid(); }
    HANDLE handle() const { return m_process.handle(); }

private:
    std::wstring m_path;
    testsupport::ChildProcess m_process;
    bool m_started = false;
};

TEST(ProcessQueries, EnumerationAppendsEveryProcessWithItsBareNameAndId)
{
    std::list<utility::process::ProcessInfo> processes{{L"sentinel", 0}};
    utility::process::enumProcess(processes);
    ASSERT_GT(processes.size(), 2u);
    EXPECT_EQ(processes.front().exeName, L"sentinel") << "the list must not be cleared first";
    const auto self = std::find_if(processes.begin(), processes.end(),
                                   [](const auto& p) { return p.pid == GetCurrentProcessId(); });
    ASSERT_NE(self, processes.end());
    EXPECT_EQ(self->exeName, L"utility_process_test.exe");
    for (const auto& process : processes) {
        EXPECT_EQ(process.exeName.find(L'\\'), std::wstring::npos) << "names carry no directory";
    }
}

TEST(ProcessQueries, FindsAWholeNameInAnyAsciiCaseOnly)
{
    testsupport::TempDir dir;
    NamedProcess host(dir, L"orvhost.exe");
    ASSERT_TRUE(host.started());
    EXPECT_TRUE(isProcessExist(L"orvhost.exe"));
    EXPECT_TRUE(isProcessExist(L"ORVHOST.EXE"));
    EXPECT_TRUE(isProcessExist(L"OrvHost.Exe"));
    EXPECT_FALSE(isProcessExist(dir.file(L"orvhost.exe")));
    EXPECT_FALSE(isProcessExist(L"orvhost"));
    EXPECT_FALSE(isProcessExist(L"orvhost.ex"));
    EXPECT_FALSE(isProcessExist(L"xorvhost.exe"));
    EXPECT_FALSE(isProcessExist(L"orvhost.exe "));
    EXPECT_FALSE(isProcessExist(L""));
}

TEST(ProcessQueries, NonAsciiLettersAreNotFolded)
{
    testsupport::TempDir dir;
    NamedProcess host(dir, L"orvh\x00F6st.exe");  // ö
    ASSERT_TRUE(host.started());
    EXPECT_TRUE(isProcessExist(L"orvh\x00F6st.exe"));
    EXPECT_TRUE(isProcessExist(L"ORVH\x00F6ST.EXE"));
    EXPECT_FALSE(isProcessExist(L"orvh\x00D6st.exe"));  // Ö
}

TEST(ProcessQueries, TwoProcessesOfOneNameCountAsRunning)
{
    testsupport::TempDir dir;
    NamedProcess first(dir, L"twin.exe");
    testsupport::TempDir other;
    NamedProcess second(other, L"twin.exe");
    ASSERT_TRUE(first.started() && second.started());
    EXPECT_TRUE(isProcessExist(L"TWIN.exe"));
}

TEST(ProcessWatch, FollowsTheProcessItFoundThenLooksForAnother)
{
    testsupport::TempDir dir;
    utility::process::ProcessWatch watch(L"WATCHED.exe");
    EXPECT_FALSE(watch.isRunning());
    auto first = std::make_unique<NamedProcess>(dir, L"watched.exe");
    ASSERT_TRUE(first->started());
    EXPECT_TRUE(watch.isRunning());
    EXPECT_TRUE(watch.isRunning());

    testsupport::TempDir other;
    NamedProcess second(other, L"watched.exe");
    first.reset();  // the one it holds ends; another of the name still runs
    EXPECT_TRUE(watch.isRunning());
}

// Another user's front end, in another session, does not keep us alive.
// Under Wine every process is in one session: the real lookup finds the
// front end, and a stand-in lookup puts it elsewhere.
DWORD g_strangerPid = 0;
BOOL WINAPI strangerInSessionTwo(DWORD pid, DWORD* session)
{
    *session = pid == g_strangerPid ? 2 : 1;
    return TRUE;
}

TEST(ProcessWatch, CountsOnlyAProcessInOurOwnSession)
{
    testsupport::TempDir dir;
    NamedProcess frontEnd(dir, L"session.exe");
    ASSERT_TRUE(frontEnd.started());
    EXPECT_TRUE(utility::process::ProcessWatch(L"session.exe").isRunning());
    g_strangerPid = GetProcessId(frontEnd.handle());
    EXPECT_FALSE(utility::process::ProcessWatch(L"session.exe", &strangerInSessionTwo).isRunning());
    g_strangerPid = 0;
    EXPECT_TRUE(utility::process::ProcessWatch(L"session.exe", &strangerInSessionTwo).isRunning());
}

// A front end running elevated, watched by a daemon that is not: asking for
// its session is refused, and the system's process list tells it instead.
// Wine refuses no one, so the seams play both.
BOOL WINAPI refusedForTheStranger(DWORD pid, DWORD* session)
{
    if (pid == g_strangerPid) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *session = 1;
    return TRUE;
}

DWORD g_listedSession = 0;
bool listStrangerIn(std::vector<utility::process::ProcessSession>& sessions)
{
    sessions = {{GetCurrentProcessId(), 1}, {g_strangerPid, g_listedSession}};
    return true;
}

TEST(ProcessWatch, AProcessThatCannotBeAskedIsPlacedByTheProcessList)
{
    testsupport::TempDir dir;
    NamedProcess frontEnd(dir, L"elevated.exe");
    ASSERT_TRUE(frontEnd.started());
    g_strangerPid = GetProcessId(frontEnd.handle());
    g_listedSession = 1;
    EXPECT_TRUE(utility::process::ProcessWatch(L"elevated.exe", &refusedForTheStranger, &listStrangerIn).isRunning());
    g_listedSession = 2;
    EXPECT_FALSE(utility::process::ProcessWatch(L"elevated.exe", &refusedForTheStranger, &listStrangerIn).isRunning());
    g_strangerPid = 0;

    // The system's list, as the watch takes it, places this process.
    std::vector<utility::process::ProcessSession> sessions;
    ASSERT_TRUE(utility::process::listSessions(sessions));
    DWORD ours = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &ours));
    const auto self = std::find_if(sessions.begin(), sessions.end(),
                                   [](const auto& p) { return p.pid == GetCurrentProcessId(); });
    ASSERT_NE(self, sessions.end());
    EXPECT_EQ(self->session, ours);
}

bool listFails(std::vector<utility::process::ProcessSession>&)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool listLacksTheStranger(std::vector<utility::process::ProcessSession>& sessions)
{
    sessions = {{GetCurrentProcessId(), 1}};
    return true;
}

// Where no query tells the front end's session, the name decides; a list
// that answers without it still means it has ended.
TEST(ProcessWatch, AProcessWhoseSessionNothingTellsCountsAsOurs)
{
    testsupport::TempDir dir;
    NamedProcess frontEnd(dir, L"untold.exe");
    ASSERT_TRUE(frontEnd.started());
    g_strangerPid = GetProcessId(frontEnd.handle());
    EXPECT_TRUE(utility::process::ProcessWatch(L"untold.exe", &refusedForTheStranger, &listFails).isRunning());
    EXPECT_FALSE(
        utility::process::ProcessWatch(L"untold.exe", &refusedForTheStranger, &listLacksTheStranger).isRunning());
    g_strangerPid = 0;
}

bool g_snapshotFails = false;
HANDLE WINAPI snapshotThatMayFail(DWORD flags, DWORD pid)
{
    if (g_snapshotFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return CreateToolhelp32Snapshot(flags, pid);
}

// A snapshot that fails knows nothing: the front end is taken to run, said
// once for the run of failures and once when the list answers again.
TEST(ProcessWatch, NoProcessListIsUnknownNotGone)
{
    testsupport::LogCapture log;
    utility::process::ProcessWatch watch(L"never-started.exe", &ProcessIdToSessionId,
                                         &utility::process::listSessions, &snapshotThatMayFail);
    g_snapshotFails = true;
    EXPECT_TRUE(watch.isRunning());
    EXPECT_TRUE(watch.isRunning());
    g_snapshotFails = false;
    EXPECT_FALSE(watch.isRunning());
    EXPECT_EQ(log.messages(),
              (std::vector<std::wstring>{testsupport::keptText(kept::kSnapshotFailed, 8),
                                         L"the list of processes cannot be read (error 8): never-started.exe is taken "
                                         L"to run until it can be read again",
                                         L"the list of processes can be read again"}));

    // Unknown for so long, a front end gone would never be seen: gone.
    g_snapshotFails = true;
    for (int look = 1; look < utility::process::ProcessWatch::kMostUnknownLooks; ++look) {
        ASSERT_TRUE(watch.isRunning()) << "look " << look;
    }
    EXPECT_FALSE(watch.isRunning());
    g_snapshotFails = false;
}

// What the watch checks before it holds a process found by id: that the id
// still belongs to a process of the name, not to one that took it over.
TEST(ProcessWatch, HoldsOnlyAProcessThatBearsTheName)
{
    testsupport::TempDir dir;
    NamedProcess watched(dir, L"watched.exe");
    NamedProcess stranger(dir, L"stranger.exe");
    ASSERT_TRUE(watched.started() && stranger.started());
    EXPECT_TRUE(utility::process::imageNameIs(watched.handle(), L"WATCHED.exe"));
    EXPECT_FALSE(utility::process::imageNameIs(stranger.handle(), L"watched.exe"));
    EXPECT_FALSE(utility::process::imageNameIs(stranger.handle(), L"stranger"));
    EXPECT_FALSE(utility::process::imageNameIs(nullptr, L"watched.exe"));
}

TEST(InstanceMutex, SecondCreationFailsOnlyWhenAskedTo)
{
    const std::wstring name = L"orvpresd-test-mutex-" + std::to_wstring(GetCurrentProcessId());
    handles::UniqueHandle first = createMutex(name, true, true);
    ASSERT_TRUE(first);
    EXPECT_FALSE(createMutex(name, true, true));
    handles::UniqueHandle shared = createMutex(name, false, false);
    EXPECT_TRUE(shared);
    shared.reset();
    first.reset();
    EXPECT_TRUE(createMutex(name, true, true)) << "the name is free once every handle is closed";
}

}  // namespace
