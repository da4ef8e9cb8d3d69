// The daemon against hostile and repeated input: payloads that are all
// separators or one huge piece, senders during a start-up that fails, and a
// second start whose presence must not be lost.
#include "daemon_fixture.h"

#include <psapi.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <random>
#include <thread>

namespace {

using namespace daemontest;
using HostileInput = DaemonFixture;

SIZE_T privateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    return GetProcessMemoryInfo(process, &memory, sizeof memory) ? memory.PagefileUsage : 0;
}

std::wstring repeated(const std::wstring& unit, size_t times)
{
    std::wstring text;
    text.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

TEST_F(HostileInput, EachMessageCostsAboutOneCopyOfItsTextAndThePresenceStillArrives)
{
    ChildProcess daemon;
    HWND ipc = nullptr;
    ASSERT_NO_FATAL_FAILURE(startPublishing(daemon, ipc));

    struct Case {
        const char* name;
        std::wstring text;
    };
    // Up to 64 KiB a payload is read, in one pass; beyond, it is refused unread.
    const Case cases[] = {
        {"64 KiB of |", std::wstring(32 * 1024, L'|')},
        {"|= just under 64 KiB", repeated(L"|=", 16 * 1024 - 1)},
        {"8,192 fields", repeated(L"k=v|", 8192)},
        {"one 32,000-unit key", std::wstring(32000, L'k') + L"=v"},
        {"1 MiB of |", std::wstring(512 * 1024, L'|')},
        {"10 MiB of |", std::wstring(5 * 1024 * 1024, L'|')},
        {"1,000,000 fields", repeated(L"a=b|", 1000000)},
        {"|= 2.8 million times", repeated(L"|=", 2800000)},
        {"a 7.5-million-unit key", std::wstring(7500000, L'k') + L"=v"},
        {"a 16 MiB details value", L"details=" + std::wstring(8 * 1024 * 1024, L'd')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SIZE_T before = privateBytes(daemon.handle());
        // Under Wine the peak figure is only the current one: sample it while
        // the message is handled.
        std::atomic<bool> sending{true};
        std::atomic<SIZE_T> peak{before};
        std::thread sampler([&] {
            while (sending) {
                peak = std::max<SIZE_T>(peak, privateBytes(daemon.handle()));
                Sleep(1);
            }
        });
        const bool answered = sendText(ipc, c.text, kPatienceMs);
        sending = false;
        sampler.join();
        EXPECT_TRUE(answered);
        const SIZE_T bytes = c.text.size() * sizeof(wchar_t);
        // Wine itself copies a payload into the receiver: an empty window
        // grows by about three times its size. Beyond that, a few MiB.
        EXPECT_LT(peak - before, 3 * bytes + 8 * 1024 * 1024)
            << "grew by " << (peak - before) / 1024 << " KiB for " << bytes / 1024 << " KiB";
    }
    EXPECT_TRUE(sendText(ipc, L"details=Final|state=valid"));
    EXPECT_TRUE(waitUntil([&] { return activities().back().value("details", "") == "Final"; }, 30000))
        << "the last presence Discord got: " << activities().back().dump();
    EXPECT_TRUE(waitForLog("too large, ignored"));
}

// While start-up fails, with Discord absent, never ready, or pinging without
// ever reading, a sender is answered at once, and the process ends as before.
TEST_F(HostileInput, NoSenderIsHeldWhileStartUpFails)
{
    startFrontEnd();
    struct Case {
        const char* name;
        const wchar_t* peer;  // null: no Discord at all
        int error;  // the number in the log's "init error"
    };
    const Case cases[] = {
        {"no Discord", nullptr, 27}, {"never READY", L"--no-ready", 1}, {"PINGs, never reading", L"--ping-flood", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.peer) {
            startPeer(c.peer);
        }
        ChildProcess daemon;
        ASSERT_TRUE(startDaemon(daemon, L"details=start"));
        HWND ipc = waitForWindowOf(kIpcClass);
        ASSERT_NE(ipc, nullptr);
        int sent = 0;
        int late = 0;
        while (daemon.wait(0) == STILL_ACTIVE && IsWindow(ipc)) {
            // Generous: a sender held for the connect shows as few presences sent, not as a timeout.
            late += !sendText(ipc, L"details=during start-up", kPatienceMs) && IsWindow(ipc);
            ++sent;
            Sleep(50);
        }
        EXPECT_GT(sent, 20) << "the start-up ended too soon to tell";
        EXPECT_EQ(late, 0) << "of " << sent << " presences sent while start-up failed";
        EXPECT_EQ(daemon.wait(kPatienceMs), 0u);
        EXPECT_NE(log().find(testsupport::keptBytes(kept::kInitError, c.error)), std::string::npos) << log();
        m_peer.kill();
    }
}

// A sender that sends again as soon as it is answered does not keep a
// failed start-up from ending: the wait after the failure ends on time.
TEST_F(HostileInput, AFloodOfPresencesDoesNotKeepAFailedStartUpFromEnding)
{
    startPeer(L"--no-ready");  // the connect gives up after 3 s: time for the flood to begin
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=start"));
    ASSERT_NE(waitForWindowOf(kIpcClass), nullptr);
    ChildProcess flood;
    // It lasts far longer than this test waits for the daemon, unless the daemon's window goes.
    ASSERT_TRUE(flood.start(quoted(testsupport::programDir() + L"copydata_sender.exe") + L" " + quoted(kIpcClass) +
                            L" " + std::to_wstring(frontend::kPresenceMessage) + L" details=flood --flood " +
                            std::to_wstring(3 * kPatienceMs)));
    EXPECT_EQ(daemon.wait(kPatienceMs), 0u) << "the daemon did not end while the flood lasted";
    EXPECT_EQ(flood.wait(kPatienceMs), 0u) << "1: the flood outlasted the daemon's window; 202: it found no window";
    // Not "init error": under a flood the log drops records rather than hold the daemon.
    const std::string flooded =
        testsupport::keptBytes(kept::kCopyData, static_cast<int>(frontend::kPresenceMessage), L"details=flood");
    EXPECT_NE(log().find(flooded), std::string::npos) << "the flood never reached the daemon";
}

TEST_F(HostileInput, APresenceSentWhileConnectingWinsOverTheCommandLine)
{
    startPeer(L"--ready-delay 1500");
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=from the command line"));
    HWND ipc = waitForWindowOf(kIpcClass);
    ASSERT_NE(ipc, nullptr);
    DWORD_PTR answer = TRUE;
    EXPECT_TRUE(sendText(ipc, L"details=sent while connecting", 1000, &answer));
    EXPECT_EQ(answer, 0u) << "while connecting nothing is promised";
    ASSERT_TRUE(waitForActivities(1));
    // A later presence marks the end: the command line's never came between.
    EXPECT_TRUE(sendText(ipc, L"details=marker"));
    ASSERT_TRUE(waitUntil([&] { return activities().back().value("details", "") == "marker"; }, kPatienceMs));
    const std::vector<json> sent = activities();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.front().value("details", ""), "sent while connecting");
}

// The IPC window's owner: which daemon runs.
DWORD ipcWindowOwner()
{
    DWORD pid = 0;
    HWND window = FindWindowW(kIpcClass, nullptr);
    if (window) {
        GetWindowThreadProcessId(window, &pid);
    }
    return pid;
}

TEST_F(HostileInput, ASecondStartHandsItsPresenceToTheRunningOneAndEndsAsBefore)
{
    startPeer();
    startFrontEnd();
    ChildProcess first;
    ASSERT_TRUE(startDaemon(first, L"details=first|state=one"));
    ASSERT_TRUE(waitForActivities(1));
    DWORD_PTR answer = 0;
    EXPECT_TRUE(sendText(FindWindowW(kIpcClass, nullptr), L"details=first|state=one", kSendTimeoutMs, &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "a running daemon promises to publish";

    ChildProcess second;
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(startDaemon(second, L"details=second|state=two|gameicon=https://example.com/two.png"));
    EXPECT_EQ(second.wait(kPatienceMs), 0u);
    EXPECT_GE(GetTickCount64() - start, 2900u) << "it waits 3 s before it ends";
    ASSERT_TRUE(waitUntil([&] { return activities().back().value("details", "") == "second"; }, kPatienceMs))
        << "the running daemon shows: " << activities().back().dump();
    const json shown = activities().back();
    EXPECT_EQ(shown.value("state", ""), "two");
    EXPECT_EQ(shown["assets"].value("large_image", ""), "https://example.com/two.png");
    ASSERT_TRUE(waitForLog(testsupport::keptBytes(kept::kInstanceExists)));
    const std::string text = log();
    EXPECT_NE(text.find("cmd handed over to the running instance"), std::string::npos);
    EXPECT_LT(text.find("cmd handed over"), text.find(testsupport::keptBytes(kept::kInstanceExists)));
    EXPECT_TRUE(first.running());
}

// The first start fails (its Discord never says READY, and goes once the
// connect has given up: one that went during it would give way to the next
// pipe); the second, started meanwhile, waits for it to end and runs in its
// place with its own presence, at the Discord that came afterwards on the
// next pipe.
TEST_F(HostileInput, ASecondStartDuringAFailingStartUpRunsInItsPlace)
{
    startFrontEnd();
    startPeer(L"--no-ready");
    ChildProcess first;
    ASSERT_TRUE(startDaemon(first, L"details=first"));
    ASSERT_NE(waitForWindowOf(kIpcClass), nullptr);
    ChildProcess second;
    ASSERT_TRUE(startDaemon(second, L"details=second|state=two"));
    ASSERT_TRUE(waitForLog("the running instance does not take cmd yet"));
    ASSERT_TRUE(waitForLog(testsupport::keptPrefix(kept::kInitError))) << log();
    ChildProcess later;
    startPeerOn(later, 1);
    m_peer.kill();

    EXPECT_EQ(first.wait(kPatienceMs), 0u);
    ASSERT_TRUE(waitForActivities(1)) << log();
    EXPECT_EQ(activities().back().value("details", ""), "second");
    EXPECT_EQ(activities().back().value("state", ""), "two");
    EXPECT_TRUE(second.running());
    EXPECT_EQ(ipcWindowOwner(), second.pid()) << "exactly one daemon, the second";
    EXPECT_TRUE(waitForLog("the running instance has ended: this start runs in its place"));
}

// Started back to back, the second usually finds the first between its mutex
// and its window. In any order, one daemon runs and shows the presence of
// the one that ended.
// Both command lines are as new as their process: the one created later wins,
// whichever start got the single instance.
TEST_F(HostileInput, TwoStartsAtOnceLeaveOneDaemonShowingTheNewerPresence)
{
    startPeer();
    startFrontEnd();
    ChildProcess a;
    ChildProcess b;
    ASSERT_TRUE(startDaemon(a, L"details=from a"));
    ASSERT_TRUE(startDaemon(b, L"details=from b"));
    ChildProcess* ended = nullptr;
    ChildProcess* running = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            ended = !a.running() ? &a : !b.running() ? &b : nullptr;
            return ended != nullptr;
        },
        kPatienceMs));
    running = ended == &a ? &b : &a;
    EXPECT_EQ(ended->wait(0), 0u);
    const auto created = [](const ChildProcess& process) {
        FILETIME times[4] = {};
        EXPECT_TRUE(GetProcessTimes(process.handle(), &times[0], &times[1], &times[2], &times[3]));
        return (static_cast<unsigned long long>(times[0].dwHighDateTime) << 32) | times[0].dwLowDateTime;
    };
    const unsigned long long createdA = created(a);
    const unsigned long long createdB = created(b);
    const ChildProcess* newer = createdA == createdB ? running : createdA > createdB ? &a : &b;
    const std::string newest = newer == &a ? "from a" : "from b";
    EXPECT_TRUE(waitUntil([&] { return !activities().empty() && activities().back().value("details", "") == newest; },
                          kPatienceMs))
        << "the running daemon shows: " << (activities().empty() ? "nothing" : activities().back().dump());
    EXPECT_TRUE(running->running());
    EXPECT_EQ(ipcWindowOwner(), running->pid());
}

// What a sender writes into the log is its own text on one record: line
// breaks and other controls are written escaped, and the cut of a long text
// never leaves half a character.
TEST_F(HostileInput, ASenderCannotForgeOrGarbleLogRecords)
{
    ChildProcess daemon;
    HWND ipc = nullptr;
    ASSERT_NO_FATAL_FAILURE(startPublishing(daemon, ipc));

    const std::wstring forged = L"01-01\t00:00:00.000\t0001\tOrvDiscordManager::init\t(1):forged record";
    EXPECT_TRUE(sendText(ipc, L"details=x\r\n" + forged + L"\x1f"));
    // The record's text before the presence ("onCopyData msg = ..., data = ")
    // and "details=" take 38 units: the
    // emoji's first half is the 512th unit of the message.
    EXPECT_TRUE(sendText(ipc, L"details=" + std::wstring(473, L'a') + L"\U0001F600 after the cut"));
    ASSERT_TRUE(waitForLog(std::string(473, 'a')));
    ASSERT_TRUE(waitForLog("data = details=x\\r\\n01-01\\t00:00:00.000\\t0001\\tOrvDiscordManager::init\\t(1):forged "
                           "record\\x1f"));
    const std::string text = log();
    EXPECT_EQ(text.find("\n01-01\t00:00:00.000"), std::string::npos) << "a forged record starts a line";
    EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos) << "a split character became U+FFFD";
    EXPECT_NE(text.find(std::string(473, 'a') + "\r\n"), std::string::npos) << "the cut should fall before the emoji";
}

// About boxes asked for while one is open do not pile up, and the daemon
// still answers and still ends with its front end.
TEST_F(HostileInput, ManyAboutCommandsOpenOneBox)
{
    startPeer();
    startFrontEnd();
    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, L"details=about|state=s"));
    HWND main = waitForWindow(frontend::kMainWindowClass, frontend::kMainWindowTitle);
    HWND ipc = waitForWindowOf(kIpcClass);
    ASSERT_TRUE(main && ipc);
    for (int i = 0; i < 100; ++i) {
        PostMessageW(main, WM_COMMAND, frontend::kAboutCommand, 0);
    }
    // Posted after them to the same thread: once it is logged, all are handled.
    PostMessageW(ipc, 0x8001, 0, 0);
    ASSERT_TRUE(waitForLog(testsupport::keptBytes(kept::kWindowMessage, 32769)));
    int boxes = 0;
    for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", L"\x5173\x4E8E orvpresd")) != nullptr;) {
        DWORD pid = 0;
        GetWindowThreadProcessId(box, &pid);
        boxes += pid == daemon.pid();
    }
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(sendText(ipc, L"details=still answering|state=s"));
    m_frontEnd.kill();
    EXPECT_EQ(daemon.wait(kPatienceMs), 0u) << "the daemon outlived its front end";
}

// What Windows and other programs send to top-level windows, at either of
// the daemon's two: the Restart Manager's query and close (an installer that
// updates the front end), a close (taskkill without /F sends one to every
// top-level window), the end of the session, and messages that must change
// nothing. After each, the front end's next presence goes as the front end
// sends it, to the window if one answers, else by starting the daemon: it is
// shown and logged; and a daemon that ended did so with exit 0 and left
// Discord showing nothing. The first two rounds are the closes a user meets
// most; the others are seeded.
struct Outside {
    const char* name;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool post;
};

class OutsideMessages : public DaemonFixture {
protected:
    void startRound()
    {
        startPeerOn(m_peer, 0, L"--strict --keep-shown");
        startFrontEnd();
        frontEndSends(L"details=p0|state=s");
    }

    // The message to the main window, or to the IPC window; a posted one is
    // followed by a mark on the same thread, so that once the mark is
    // handled (or the daemon has ended) so is the message.
    void deliver(const Outside& outside, bool toIpc)
    {
        m_trace += std::string(" ") + outside.name + (toIpc ? "@ipc" : "@main");
        HWND window = toIpc ? FindWindowW(kIpcClass, nullptr) : FindWindowW(frontend::kMainWindowClass, frontend::kMainWindowTitle);
        ASSERT_NE(window, nullptr) << m_trace;
        if (!outside.post) {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(window, outside.message, outside.wParam, outside.lParam, SMTO_ABORTIFHUNG,
                                kSendTimeoutMs, &ignored);
            return;
        }
        const std::string mark = testsupport::keptBytes(kept::kWindowMessage, 0x8001);
        const size_t marks = count(log(), mark);
        PostMessageW(window, outside.message, outside.wParam, outside.lParam);
        PostMessageW(FindWindowW(kIpcClass, nullptr), 0x8001, 0, 0);
        EXPECT_TRUE(waitUntil([&] { return !m_daemon->running() || count(log(), mark) > marks; },
                              kPatienceMs))
            << m_trace;
    }

    // To the window while one answers TRUE; else the daemon there has ended
    // (cleanly, Discord showing nothing) and a new start carries it.
    void frontEndSends(const std::wstring& text)
    {
        const std::string details = narrow(text.substr(8, text.find(L'|') - 8));
        bool taken = false;
        if (m_daemon) {
            waitUntil(
                [&] {
                    DWORD_PTR answer = 0;
                    HWND ipc = FindWindowW(kIpcClass, nullptr);
                    taken = ipc && sendText(ipc, text, kSendTimeoutMs, &answer) && answer == TRUE;
                    return taken || !m_daemon->running();
                },
                kPatienceMs);
        }
        if (!taken) {
            if (m_daemon) {
                EXPECT_EQ(m_daemon->wait(kPatienceMs), 0u) << m_trace << ": a daemon told to end ends with 0";
                EXPECT_TRUE(waitUntil([&] { return shownNow() == std::optional<json>(json()); }, kPatienceMs))
                    << m_trace << ": Discord still shows a presence after the daemon ended";
            }
            m_daemon = std::make_unique<ChildProcess>();
            ASSERT_TRUE(startDaemon(*m_daemon, text));
        }
        EXPECT_TRUE(waitUntil([&] { return showing(details); }, kPatienceMs)) << m_trace << ": " << details << " never shown";
        if (taken) {
            EXPECT_TRUE(waitForLog(testsupport::keptBytes(kept::kCopyData, static_cast<int>(frontend::kPresenceMessage),
                                                          text.c_str())))
                << m_trace << ": a presence taken and not logged";
        }
    }

    static std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

    void TearDown() override
    {
        m_frontEnd.kill();
        if (m_daemon) {
            EXPECT_EQ(m_daemon->wait(kPatienceMs), 0u) << m_trace << ": the daemon outlived its front end";
        }
    }

    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_trace;
};

const Outside kQueryForUpdate{"query for an update", WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, false};
const Outside kCloseForUpdate{"close for an update", WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, false};
const Outside kClose{"close", WM_CLOSE, 0, 0, false};

TEST_F(OutsideMessages, TheRestartManagersCloseEndsItAndAStartRightAfterShowsItsPresence)
{
    ASSERT_NO_FATAL_FAILURE(startRound());
    for (bool toIpc : {false, true}) {
        deliver(kQueryForUpdate, toIpc);
    }
    ASSERT_TRUE(m_daemon->running()) << "asked, not told";
    for (bool toIpc : {false, true}) {
        deliver(kCloseForUpdate, toIpc);
    }
    EXPECT_EQ(m_daemon->wait(kPatienceMs), 0u);
    EXPECT_NE(log().find("for an update or a restart of applications (Restart Manager)"), std::string::npos);
    frontEndSends(L"details=after the update|state=s");
}

TEST_F(OutsideMessages, ACloseAtTheIpcWindowEndsItAndTheNextPresenceIsShown)
{
    ASSERT_NO_FATAL_FAILURE(startRound());
    deliver(kClose, true);
    EXPECT_EQ(m_daemon->wait(kPatienceMs), 0u) << "a daemon without its window must not run on";
    EXPECT_NE(log().find("told to end: the IPC window is asked to close"), std::string::npos);
    frontEndSends(L"details=after the close|state=s");
}

TEST_F(OutsideMessages, SeededRoundsAtEitherWindowLeaveItAnsweringOrEndedCleanly)
{
    const Outside kAll[] = {
        kQueryForUpdate,
        kCloseForUpdate,
        kClose,
        {"posted close", WM_CLOSE, 0, 0, true},
        {"SC_CLOSE", WM_SYSCOMMAND, SC_CLOSE, 0, false},
        {"end called off", WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, false},
        {"query logoff", WM_QUERYENDSESSION, 0, static_cast<LPARAM>(ENDSESSION_LOGOFF), false},
        {"session ends", WM_ENDSESSION, TRUE, static_cast<LPARAM>(ENDSESSION_LOGOFF), false},
        {"posted quit", WM_QUIT, 7, 0, true},
        {"power", WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, false},
        {"timer", WM_TIMER, 4242, 0, true},
        {"unknown command", WM_COMMAND, 40000, 0, false},
        {"about", WM_COMMAND, frontend::kAboutCommand, 0, true},
        {"settings", WM_SETTINGCHANGE, 0, 0, false},
    };
    std::mt19937 random(214);  // its rounds meet every way to end at both windows, the about box among them
    ASSERT_NO_FATAL_FAILURE(startRound());
    deliver(kAll[8], false);  // a quit from outside, whose code is not the daemon's exit code
    frontEndSends(L"details=p0 again|state=s");
    for (int i = 1; i <= 12; ++i) {
        const Outside& outside = kAll[std::uniform_int_distribution<size_t>(0, std::size(kAll) - 1)(random)];
        deliver(outside, std::uniform_int_distribution<int>(0, 1)(random) == 1);
        frontEndSends(L"details=p" + std::to_wstring(i) + L"|state=s");
    }
    std::printf("outside messages:%s\n", m_trace.c_str());
}

}  // namespace
