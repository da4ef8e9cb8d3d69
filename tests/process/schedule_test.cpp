// Seeded schedules of start-up and hand-over events, against the real
// executables: second starts, front-end presences, Discord restarts, closes
// and about boxes in a random order with random small gaps, then a fixed
// ending. Whatever came before, once things are quiet Discord shows the
// newest presence sent, one daemon runs while the front end lives, a daemon
// told to end sends nothing more, and once the front end has ended no daemon
// runs and the presence was cleared.
//
// ORVPRESD_SCHEDULE_SEED=n replays schedule n alone; ORVPRESD_SCHEDULES=n
// runs n schedules (10 if only the first is given) from seed
// ORVPRESD_SCHEDULE_FIRST (1). Without either it runs ten chosen seeds.
#include "process/daemon_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>

namespace {

using namespace daemontest;

// Discord answers the handshake 1.5 s late, so that events land while a
// daemon connects (the SDK gives up after 3 s); it is as strict as Discord,
// and keeps what it shows after a connection closes: only a clear takes a
// presence away.
const wchar_t kPeerOptions[] = L"--ready-delay 1500 --strict --keep-shown";

// Each check's deadline: generous, yet short enough that a schedule whose
// checks all fail stays within a test's time limit.
constexpr DWORD kScheduleDeadlineMs = 30000;

unsigned long long fromEnvironment(const char* name, unsigned long long fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

long long unixMillis()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<long long>((ticks - 116444736000000000ULL) / 10000);
}

// One SET_ACTIVITY frame the peer received; a null activity is a clear.
struct Frame {
    long long time = 0;
    long long pid = 0;
    json activity;
    long long handshake = 0;  // when its connection's handshake arrived
};

class Schedules : public DaemonFixture {
protected:
    void TearDown() override { endAll(); }

    void runSchedule(unsigned long long seed)
    {
        m_random.seed(seed);
        m_howToClose.seed(~seed);  // apart, so that the seeds' schedules stay as they were
        m_records = L"peer-" + std::to_wstring(seed) + L".jsonl";
        m_trace.clear();
        m_closed.clear();
        const std::wstring tag = L"seed" + std::to_wstring(seed);
        startPeerOn(m_peer, 0, kPeerOptions, m_records);
        startFrontEnd();
        startInstance(L"details=begin|state=" + tag);
        // Half the schedules begin once the first daemon runs, so that
        // Discord's restarts also find one running, not only connecting.
        if (std::mt19937_64(seed * 7919 + 1)() % 2) {
            note("settled");
            EXPECT_TRUE(waitUntil([&] { return showing("begin"); }, kScheduleDeadlineMs)) << "never shown";
        }

        const int events = pick(0, 6);
        // The last start, if nothing but about boxes came after it: its
        // presence is the newest.
        std::optional<std::string> lastStart;
        size_t initErrorsBefore = 0;
        for (int i = 0; i < events; ++i) {
            Sleep(static_cast<DWORD>(pick(0, 400)));
            const std::wstring text = L"details=e" + std::to_wstring(i) + L"|state=" + tag;
            const int kind = pick(0, 4);
            if (kind <= 3) {
                lastStart.reset();
            }
            if (kind == 0 || kind == 2) {
                lastStart = "e" + std::to_string(i);
                initErrorsBefore = count(log(), testsupport::keptPrefix(kept::kInitError));
            }
            switch (kind) {
            case 0:
                note("start");
                startInstance(text);
                break;
            case 1:
                note("presence");
                if (HWND ipc = FindWindowW(kIpcClass, nullptr)) {
                    sendText(ipc, text, 1000);
                }
                break;
            case 2:
                // Discord quits, a second start comes at once, and Discord
                // is back right after: the events that follow may find it
                // gone, or back.
                note("restart");
                m_peer.kill();
                startInstance(text);
                EXPECT_TRUE(m_peer.start(quoted(testsupport::programDir() + L"discord-peer.exe") + L" --pipe 0 --out " +
                                         quoted(m_dir.file(m_records)) + L" " + kPeerOptions));
                break;
            case 3:
                close();
                break;
            default:
                note("about");
                if (HWND main = targetWindow()) {
                    SendNotifyMessageW(main, WM_COMMAND, frontend::kAboutCommand, 0);
                }
                break;
            }
        }

        // The ending, with Discord up: a second start, and at once a newer
        // presence from the front end, sent again while no instance promises
        // to publish it.
        Sleep(static_cast<DWORD>(pick(0, 400)));
        const auto listening = [] {
            return WaitNamedPipeW(L"\\\\.\\pipe\\discord-ipc-0", 0) || GetLastError() == ERROR_SEM_TIMEOUT;
        };
        EXPECT_TRUE(waitUntil(listening, kScheduleDeadlineMs)) << m_trace << ": Discord never came back";
        // A start's presence is shown, by the instance it was handed to or by
        // itself in the place of one that ended; only a connect that found
        // Discord not yet back excuses it.
        if (lastStart) {
            EXPECT_TRUE(waitUntil(
                [&] {
                    return showing(*lastStart) ||
                           (running() == 0 && count(log(), testsupport::keptPrefix(kept::kInitError)) > initErrorsBefore);
                },
                kScheduleDeadlineMs))
                << m_trace << ": the last start's presence was never shown";
        }
        note("| start presence");
        startInstance(L"details=late|state=" + tag);
        const std::wstring newest = L"details=newest|state=" + tag;
        EXPECT_TRUE(waitUntil(
            [&] {
                DWORD_PTR answer = 0;
                HWND ipc = FindWindowW(kIpcClass, nullptr);
                if (ipc && sendText(ipc, newest, 1000, &answer) && answer == TRUE) {
                    return true;
                }
                Sleep(50);  // soon: a second start's next offer is at most 250 ms away
                return false;
            },
            kScheduleDeadlineMs))
            << m_trace << ": no instance took the newest presence";
        EXPECT_TRUE(waitUntil([&] { return showing("newest"); }, kScheduleDeadlineMs)) << m_trace << ": the newest presence was never shown";
        waitUntil([&] { return running() <= 1; }, kScheduleDeadlineMs);
        EXPECT_EQ(running(), 1) << m_trace << ": daemons running with the front end and Discord up";

        note("| front end ends");
        m_frontEnd.kill();
        EXPECT_TRUE(waitUntil([&] { return running() == 0; }, kScheduleDeadlineMs)) << m_trace << ": a daemon outlived the front end";
        EXPECT_TRUE(waitUntil(
            [&] {
                const std::vector<Frame> all = frames();
                return !all.empty() && all.back().activity.is_null();
            },
            kScheduleDeadlineMs))
            << m_trace << ": the presence was not cleared";
        EXPECT_TRUE(waitUntil([&] { return shownNow() == std::optional<json>(json()); }, kScheduleDeadlineMs))
            << m_trace << ": Discord still shows a presence after the daemon ended";
        const std::optional<Frame> shown = lastActivity();
        EXPECT_TRUE(shown && shown->activity.value("details", "") == "newest" &&
                    shown->activity.value("state", "") == std::string(tag.begin(), tag.end()))
            << m_trace << ": shown at the end: " << (shown ? shown->activity.dump() : "nothing");
        // A daemon told to end publishes nothing more. The first of its
        // frames after the close may still hold an activity (one on its way,
        // or let go by the pace before the clear replaced it); the pace puts
        // the next 4.1 s later, by when a daemon that ended has long sent its
        // clear and gone.
        const std::vector<Frame> all = frames();
        for (const auto& [pid, at] : m_closed) {
            bool first = true;
            for (const Frame& frame : all) {
                if (frame.pid != pid || frame.time < at) {
                    continue;
                }
                // Told to end before Discord had even read its handshake, it
                // was still starting up: it publishes nothing at all.
                EXPECT_FALSE(!frame.activity.is_null() && at < frame.handshake)
                    << m_trace << ": daemon " << pid << " published " << frame.activity.dump()
                    << " though told to end while connecting";
                EXPECT_FALSE(!first && !frame.activity.is_null())
                    << m_trace << ": daemon " << pid << " published " << frame.activity.dump() << " "
                    << frame.time - at << " ms after it was told to end";
                first = false;
            }
        }
        endAll();
    }

    bool showing(const std::string& details) const { return DaemonFixture::showing(details, m_records); }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void note(const char* event) { m_trace += (m_trace.empty() ? "" : " ") + std::string(event); }

    void startInstance(const std::wstring& commandLine)
    {
        m_daemons.push_back(std::make_unique<ChildProcess>());
        EXPECT_TRUE(startDaemon(*m_daemons.back(), commandLine));
    }

    int running() const
    {
        int count = 0;
        for (const auto& daemon : m_daemons) {
            count += daemon->running() ? 1 : 0;
        }
        return count;
    }

    // The main window of the instance that owns the IPC window, or of any
    // start when there is none.
    static HWND targetWindow()
    {
        DWORD pid = 0;
        if (HWND ipc = FindWindowW(kIpcClass, nullptr)) {
            GetWindowThreadProcessId(ipc, &pid);
        }
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, frontend::kMainWindowClass, frontend::kMainWindowTitle)) !=
               nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (!pid || owner == pid) {
                return window;
            }
        }
        return nullptr;
    }

    void close()
    {
        HWND main = targetWindow();
        if (!main) {
            note("close (no daemon)");
            return;
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(main, &pid);
        // Sent or posted: a posted close waits in the queue while start-up
        // answers only what is sent.
        if (std::uniform_int_distribution<int>(0, 1)(m_howToClose)) {
            note("posted close");
            PostMessageW(main, WM_CLOSE, 0, 0);
        } else {
            note("close");
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(main, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
        }
        m_closed.emplace_back(pid, unixMillis());
    }

    std::vector<Frame> frames() const
    {
        std::vector<Frame> found;
        std::istringstream lines(testsupport::readFile(m_dir.file(m_records)));
        std::string line;
        long long handshake = 0;
        while (std::getline(lines, line)) {
            const json record = json::parse(line, nullptr, false);
            if (record.is_object() && record.value("op", -1) == 0) {
                handshake = record.value("time", 0LL);
            }
            if (record.is_object() && record.contains("json") && record["json"].is_object() &&
                record["json"].value("cmd", "") == "SET_ACTIVITY") {
                const json& args = record["json"]["args"];
                Frame frame;
                frame.time = record.value("time", 0LL);
                frame.pid = args.value("pid", 0LL);
                frame.activity = args.value("activity", json());
                frame.handshake = handshake;
                found.push_back(frame);
            }
        }
        return found;
    }

    std::optional<json> shownNow() const { return DaemonFixture::shownNow(m_records); }

    std::optional<Frame> lastActivity() const
    {
        const std::vector<Frame> all = frames();
        for (auto frame = all.rbegin(); frame != all.rend(); ++frame) {
            if (!frame->activity.is_null()) {
                return *frame;
            }
        }
        return std::nullopt;
    }

    void endAll()
    {
        m_frontEnd.kill();
        for (auto& daemon : m_daemons) {
            daemon->kill();
        }
        m_daemons.clear();
        m_peer.kill();
    }

    std::mt19937_64 m_random;
    std::mt19937_64 m_howToClose;
    std::wstring m_records;
    std::string m_trace;
    std::vector<std::unique_ptr<ChildProcess>> m_daemons;
    std::vector<std::pair<DWORD, long long>> m_closed;  // a daemon told to end, and when
};

std::vector<unsigned long long> seeds()
{
    const unsigned long long replay = fromEnvironment("ORVPRESD_SCHEDULE_SEED", 0);
    if (replay) {
        return {replay};
    }
    const unsigned long long first = fromEnvironment("ORVPRESD_SCHEDULE_FIRST", 0);
    const unsigned long long count = fromEnvironment("ORVPRESD_SCHEDULES", 0);
    if (!first && !count) {
        // Between them these reach every order the ending checks for: a close
        // or an about box while connecting, a second start's presence against
        // a newer one, and a second start right after Discord quit, while
        // the daemon connects (21) or runs (16, 39, 40).
        return {1, 2, 3, 4, 5, 6, 7, 8, 16, 21, 39, 40};
    }
    std::vector<unsigned long long> all;
    for (unsigned long long seed = first ? first : 1; seed < (first ? first : 1) + (count ? count : 10); ++seed) {
        all.push_back(seed);
    }
    return all;
}

class Schedule : public Schedules, public ::testing::WithParamInterface<unsigned long long> {};

TEST_P(Schedule, TheNewestPresenceWinsAndNothingStaysAfterTheEnd)
{
    const unsigned long long seed = GetParam();
    const ULONGLONG started = GetTickCount64();
    runSchedule(seed);
    if (HasFailure()) {
        const std::string text = log();  // the daemons' own account, for the replay
        std::printf("the daemons' log, its end:\n%s\n", text.substr(text.size() > 12000 ? text.size() - 12000 : 0).c_str());
    }
    std::printf("schedule seed %llu: %s, %.1f s: %s (replay: ORVPRESD_SCHEDULE_SEED=%llu)\n", seed,
                HasFailure() ? "FAILED" : "passed", static_cast<double>(GetTickCount64() - started) / 1000.0,
                m_trace.c_str(), seed);
    std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(Seeded, Schedule, ::testing::ValuesIn(seeds()),
                         [](const ::testing::TestParamInfo<unsigned long long>& info) {
                             return "seed" + std::to_string(info.param);
                         });

}  // namespace
