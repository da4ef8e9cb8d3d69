// The daemon under faults and bad input: a Discord that refuses, hangs or
// talks nonsense, and messages no front end should send. In every case: no
// crash, no held-up sender, bounded memory, and the last valid presence is
// the one Discord shows.
#include "process/daemon_fixture.h"

#include "common/log_file.h"
#include "handles/unique_handle.h"

#include <psapi.h>

#include <string>
#include <vector>

namespace {

using namespace daemontest;
using Faults = DaemonFixture;

// The daemon's message-only dispatcher window.
HWND dispatcherWindowOf(DWORD pid)
{
    HWND window = nullptr;
    while ((window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (owner == pid && _wcsicmp(name, L"Static") == 0) {
            return window;
        }
    }
    return nullptr;
}

// The process's commit charge: its private memory.
double privateMiB(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process, &memory, sizeof memory) || memory.PagefileUsage == 0) {
        ADD_FAILURE() << "no memory figures for the daemon";
        return 0;
    }
    return static_cast<double>(memory.PagefileUsage) / (1024.0 * 1024.0);
}

TEST_F(Faults, DiscordRefusingTheHandshakeEndsStartUp)
{
    startPeer(L"--close-handshake 4000");
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
    EXPECT_EQ(daemon.wait(kPatienceMs), 0u);
    EXPECT_TRUE(waitForLog(testsupport::keptBytes(kept::kInitError, 17))) << log();
    // Why, in Discord's words, and where: a failed create has no core to
    // hang a hook on, and still tells.
    EXPECT_TRUE(waitForLog("sdk error: \\\\.\\pipe\\discord-ipc-0 given up: Discord refused the handshake: "
                           "{\"code\":4000,\"message\":\"Invalid Client ID\"}"))
        << log();
}

// Discord's side answers with a flood of refusals for nonces it was never
// sent, then goes: the SDK's messages take a bounded room, and the daemon's
// own records (start-up, presence, why it ended) all stay in the log.
TEST_F(Faults, AFloodOfRefusalsLeavesRoomForTheDaemonsOwnRecords)
{
    startPeer(L"--error-flood 38");
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=flooded|state=s"));
    EXPECT_EQ(daemon.wait(kPatienceMs), 0u);
    EXPECT_TRUE(waitForLog(testsupport::keptBytes(kept::kCoreNotOk, 27))) << log();
    const std::string text = log();
    EXPECT_NE(text.find(testsupport::keptBytes(kept::kInitSuccess)), std::string::npos) << text;
    EXPECT_NE(text.find("more like it"), std::string::npos) << text;
    size_t refusals = 0;
    for (size_t at = text.find("Discord refused an update ("); at != std::string::npos;
         at = text.find("Discord refused an update (", at + 1)) {
        ++refusals;
    }
    // A watchdog tick may come in the middle of the flood: two runs' worth.
    EXPECT_LE(refusals, 16u) << text;
}

TEST_F(Faults, DiscordSendingMalformedOrOversizedFramesEndsIt)
{
    for (const wchar_t* misbehaviour : {L"--malformed", L"--oversized"}) {
        SCOPED_TRACE(std::string(misbehaviour, misbehaviour + wcslen(misbehaviour)));
        m_peer.kill();
        startPeer(misbehaviour);
        if (!m_frontEnd.running()) {
            startFrontEnd();
        }
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=d|state=s"));
        EXPECT_EQ(daemon.wait(kPatienceMs), 0u);
        EXPECT_NE(log().find(testsupport::keptBytes(kept::kCoreNotOk, 27)), std::string::npos) << log();
    }
}

TEST_F(Faults, ADiscordThatStopsReadingNeverHoldsUpTheSender)
{
    startPeer(L"--hang-after 2");  // the handshake and the first presence
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=first|state=s"));
    ASSERT_TRUE(waitForActivities(1));
    HWND ipc = FindWindowW(kIpcClass, nullptr);
    ASSERT_NE(ipc, nullptr);
    const std::wstring filler(100, L'x');
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(sendText(ipc, L"details=" + std::to_wstring(i) + filler + L"|state=" + filler))
            << "message " << i << " held the sender";
    }
    EXPECT_TRUE(daemon.running());
    EXPECT_LT(privateMiB(daemon.handle()), 64.0);
}

TEST_F(Faults, BadMessagesAreSurvivedAndTheLastValidPresenceWins)
{
    ChildProcess daemon;
    HWND ipc = nullptr;
    ASSERT_NO_FATAL_FAILURE(startPublishing(daemon, ipc));

    const std::string odd = "d\0e\0t\0";
    EXPECT_TRUE(sendRaw(ipc, frontend::kPresenceMessage, odd.data(), 5));
    std::vector<char> huge(10 * 1024 * 1024, 'A');
    EXPECT_TRUE(sendRaw(ipc, frontend::kPresenceMessage, huge.data(), static_cast<DWORD>(huge.size()), kPatienceMs));
    EXPECT_TRUE(sendRaw(ipc, frontend::kPresenceMessage, nullptr, 0));
    EXPECT_TRUE(sendText(ipc, L"details=\xD800 lone high|state=lone low \xDC00"));
    EXPECT_TRUE(sendText(ipc, std::wstring(L"details=a\0b|state=\0\0", 20)));
    EXPECT_TRUE(sendText(ipc, L"details=%s%d%n%x%%|state=%ls %hs %S"));
    // Each within the 64 KiB a payload may take, so that it is read.
    EXPECT_TRUE(sendText(ipc, std::wstring(16000, L'k') + L"=v|details=" + std::wstring(16000, L'\x4E2D')));
    std::wstring many;
    for (int i = 0; i < 2000; ++i) {
        many += L"key" + std::to_wstring(i) + L"=value|";
    }
    EXPECT_TRUE(sendText(ipc, many + L"details=many|state=fields"));
    EXPECT_TRUE(sendRaw(ipc, 1234, huge.data(), 1000));

    // The dispatcher window gets foreign task and timer messages.
    HWND dispatcher = dispatcherWindowOf(daemon.pid());
    ASSERT_NE(dispatcher, nullptr);
    for (LPARAM bogus : {static_cast<LPARAM>(0), static_cast<LPARAM>(0x12345678), static_cast<LPARAM>(-1)}) {
        DWORD_PTR result = 0;
        EXPECT_TRUE(SendMessageTimeoutW(dispatcher, 8888, 1, bogus, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result));
        EXPECT_TRUE(SendMessageTimeoutW(dispatcher, WM_TIMER, static_cast<WPARAM>(bogus), 0, SMTO_ABORTIFHUNG,
                                        kSendTimeoutMs, &result));
    }

    EXPECT_TRUE(sendText(ipc, L"details=Final|state=valid"));
    EXPECT_TRUE(daemon.running());
    EXPECT_LT(privateMiB(daemon.handle()), 64.0);
    // Over the pace the newest presence waits for its turn, up to 20 seconds.
    EXPECT_TRUE(waitUntil([&] { return !activities().empty() && activities().back().value("details", "") == "Final"; },
                          30000))
        << "the last presence Discord got: " << activities().back().dump();
    EXPECT_TRUE(waitForLog("data = details=%s%d%n%x%%|state=%ls %hs %S"));
}

// Sets an environment variable of this process, which the daemons it starts
// inherit, for as long as it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name)
    {
        wchar_t saved[MAX_PATH] = {};
        m_wasSet = GetEnvironmentVariableW(name, saved, MAX_PATH) > 0;
        m_saved = saved;
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(m_name, m_wasSet ? m_saved.c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* m_name;
    std::wstring m_saved;
    bool m_wasSet = false;
};

TEST_F(Faults, AnUnwritableLogPlaceOrAHugeLogDoesNotStopThePresence)
{
    startPeer();
    startFrontEnd();
    {
        // Under Wine as root every folder can be written: a file in the log
        // folder's place stands for one this user may not write.
        SCOPED_TRACE("a file named log where the directory should be: the log goes to the user's folder");
        testsupport::writeFile(m_dir.file(L"log"), "not a directory");
        ScopedEnvironment userData(L"LOCALAPPDATA", m_dir.file(L"user\\AppData\\Local"));
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=nolog|state=s"));
        ASSERT_TRUE(waitForActivities(1));
        EXPECT_EQ(activities()[0]["details"], "nolog");
        PostMessageW(waitForWindowOf(frontend::kMainWindowClass), WM_CLOSE, 0, 0);
        EXPECT_EQ(daemon.wait(15000), 0u);
        DeleteFileW(m_dir.file(L"log").c_str());

        const std::string text = testsupport::readFile(m_dir.file(L"user\\AppData\\Local\\orvpresd\\log\\orvprs.log"));
        const std::wstring besideProgram = m_dir.file(L"log");
        const std::string first = text.substr(0, text.find("\r\n"));
        EXPECT_NE(first.find("\topenLog\t("), std::string::npos) << text;
        EXPECT_NE(first.find("):the log cannot be written beside the program, in " +
                             std::string(besideProgram.begin(), besideProgram.end()) + " (error "),
                  std::string::npos)
            << text;
        EXPECT_NE(first.find("a file of the same name may stand in its way); it is written here instead"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(testsupport::keptBytes(kept::kInitSuccess) + "\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find(testsupport::keptBytes(kept::kUpdateDetails, L"nolog") + "\r\n"), std::string::npos) << text;
    }
    {
        SCOPED_TRACE("a 60,000,000-byte log at start");
        CreateDirectoryW(m_dir.file(L"log").c_str(), nullptr);
        testsupport::writeFile(m_dir.file(L"log\\orvprs.log"), std::string(60000000, 'o'));
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=biglog|state=s"));
        // Running: a close before that would end its start-up instead.
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::vector<json> all = activities();  // the first daemon's clear among them
                return !all.empty() && all.back().is_object() && all.back().value("details", "") == "biglog";
            },
            kPatienceMs));
        PostMessageW(waitForWindowOf(frontend::kMainWindowClass), WM_CLOSE, 0, 0);
        EXPECT_EQ(daemon.wait(15000), 0u);
        const std::string text = log();
        EXPECT_GE(text.size(), 2097152u);
        EXPECT_LT(text.size(), 2097152u + 65536u) << "the log was not cut back";
        EXPECT_NE(text.find(testsupport::keptBytes(kept::kInitSuccess)), std::string::npos);
    }
}

// One message's handling can log several KiB (its own records, the SDK's
// diagnostics, the reason) before the log writer gets to run. A Discord side
// floods diagnostics and goes while presences stream in, and the writer lags
// throughout: the test holds the file's lock, as another process writing the
// log may for up to 2 s per batch (without it, whether the writer runs in time
// is left to the scheduler). The log keeps every presence taken and ends with
// why the daemon ended.
TEST_F(Faults, TheDaemonsOwnRecordsOutlastAFloodWhileTheLogLags)
{
    constexpr DWORD kFloodAfterMs = 3000;
    constexpr DWORD kLockedBeforeFloodMs = 1500;
    constexpr DWORD kPresenceEveryMs = 35;
    startPeer(L"--error-flood 200 --error-flood-after " + std::to_wstring(kFloodAfterMs));
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=flood-start|state=s"));
    ASSERT_TRUE(waitForActivities(1));
    const ULONGLONG floodAt = GetTickCount64() + kFloodAfterMs;  // or a little sooner
    HWND ipc = FindWindowW(kIpcClass, nullptr);
    ASSERT_NE(ipc, nullptr);

    // The writer's first batch once the lock is held waits 2 s for it, and
    // then its cut as long: the flood comes inside that wait.
    const std::wstring logMutexName = common::logFileMutexName(m_dir.file(L"log\\orvprs.log"));
    handles::UniqueHandle logMutex;
    std::vector<int> taken;
    int kept = 0;
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    for (int i = 0; daemon.running() && GetTickCount64() < deadline; ++i) {
        if (!logMutex && GetTickCount64() + kLockedBeforeFloodMs >= floodAt) {
            logMutex.reset(CreateMutexW(nullptr, FALSE, logMutexName.c_str()));  // the daemon's: owned by waiting
            ASSERT_TRUE(logMutex);
            const DWORD waited = WaitForSingleObject(logMutex.get(), kPatienceMs);
            ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;
        }
        DWORD_PTR answer = 0;
        if (sendText(ipc, L"details=flood-" + std::to_wstring(i) + L"|state=streaming", kSendTimeoutMs, &answer)) {
            if (answer == TRUE) {
                taken.push_back(i);
            } else {
                ++kept;  // while ending: kept for a start that follows
            }
        }
        Sleep(kPresenceEveryMs);
    }
    if (logMutex) {
        ReleaseMutex(logMutex.get());
    }
    ASSERT_EQ(daemon.wait(kPatienceMs), 0u);

    const std::string text = log();
    const size_t reason = text.find(testsupport::keptPrefix(kept::kCoreNotOk));
    ASSERT_NE(reason, std::string::npos) << text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    EXPECT_NE(text.find("more like it"), std::string::npos) << "the flood never reached the daemon";
    EXPECT_FALSE(taken.empty());
    for (const int i : taken) {
        const std::wstring details = L"flood-" + std::to_wstring(i);
        EXPECT_NE(text.find(testsupport::keptBytes(kept::kUpdateDetails, details.c_str()) + "\r\n"), std::string::npos)
            << i;
    }
    size_t keptRecords = 0;
    for (size_t at = text.find("ending: kept for an instance that follows", reason); at != std::string::npos;
         at = text.find("ending: kept for an instance that follows", at + 1)) {
        ++keptRecords;
    }
    EXPECT_GE(keptRecords, static_cast<size_t>(kept)) << text.substr(reason);
}

// A pipe owned by another account (SYSTEM here, as another user's would be
// owned by that user) gets nothing, not even the handshake; the presence
// goes to our own Discord on the next pipe. Why, and later why the
// connection was lost, is in the daemon's log.
TEST_F(Faults, AForeignOwnedPipeGetsNothingAndTheSdkSaysWhyInTheLog)
{
    startPeerOn(m_peer, 0, L"--sddl O:SYD:(A;;GA;;;WD)", L"foreign.jsonl");
    ChildProcess ours;
    startPeerOn(ours, 1);
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=only ours|state=s"));
    ASSERT_TRUE(waitForActivities(1)) << log();
    EXPECT_EQ(activities()[0].value("details", ""), "only ours");
    const std::string foreign = testsupport::readFile(m_dir.file(L"foreign.jsonl"));
    EXPECT_EQ(foreign.find("\"op\""), std::string::npos) << foreign;
    EXPECT_TRUE(waitForLog("sdk warn: \\\\.\\pipe\\discord-ipc-0 is not used: it is owned by another user")) << log();

    ours.kill();
    EXPECT_EQ(daemon.wait(kPatienceMs), 0u);
    EXPECT_NE(log().find("sdk error: Discord closed the connection"), std::string::npos) << log();
    EXPECT_LT(log().find("sdk error: Discord closed the connection"), log().find(testsupport::keptBytes(kept::kCoreNotOk, 27)));
}

}  // namespace
