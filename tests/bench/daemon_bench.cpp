// Measures the daemon as the front end and Discord see it, and prints tables:
// how long WM_COPYDATA holds the sender, beside an empty window of another
// process in interleaved rounds (with Discord reading, and with Discord
// connected but no longer reading), how soon a presence is on the wire, what
// the once-a-second process check costs, and, in this process, what the
// message thread spends per presence and on each piece of a new one.
// A benchmark, not a test: run it through scripts/bench.sh.
#include "common/log.h"
#include "discord/sdk_timing.h"
#include "peer.h"
#include "presence/front_end_contract.h"
#include "presence/orv_discord_manager.h"
#include "utility/process.h"
#include "utility/ufile.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const wchar_t* kIpcClass = frontend::kIpcWindowClass;

struct Settings {
    std::wstring from;  // where orvpresd.exe and its DLL come from; this program's folder if empty
    int messages = 30000;  // a p99.9 of fewer is one outlier's word
    int latencySamples = 10;
    int processes = 300;
};

std::wstring exeDir()
{
    return utility::ufile::getModuleDir();
}

struct Process {
    PROCESS_INFORMATION info = {};
    bool start(std::wstring commandLine, const std::wstring& dir = L"")
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              dir.empty() ? nullptr : dir.c_str(), &startup, &info) != FALSE;
    }
    void stop()
    {
        if (info.hProcess) {
            TerminateProcess(info.hProcess, 0);
            WaitForSingleObject(info.hProcess, 5000);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
            info = {};
        }
    }
    ~Process() { stop(); }
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

void row(const char* what, const std::vector<double>& values, const char* unit)
{
    std::printf("| %s | %.3f %s | %.3f %s | %.3f %s | %zu |\n", what, percentile(values, 0.5), unit,
                percentile(values, 0.999), unit, values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()),
                unit, values.size());
}

void printPrivateMemory(HANDLE process, const char* when)
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, &memory, sizeof memory);
    std::printf("| private memory (commit charge) %s | %.2f MiB | | | 1 |\n", when,
                static_cast<double>(memory.PagefileUsage) / (1024.0 * 1024.0));
}

size_t setActivities(const std::vector<nlohmann::json>& records)
{
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const nlohmann::json& r) {
        return r.contains("json") && r["json"].value("cmd", "") == "SET_ACTIVITY";
    }));
}

// A daemon with its own copy of the program in a fresh folder.
class DaemonRun {
public:
    explicit DaemonRun(std::wstring from) : m_from(from.empty() ? exeDir() : from + L"\\") {}

    bool start(const std::wstring& presence)
    {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        m_dir = std::wstring(temp) + L"orvbench-" + std::to_wstring(GetTickCount64()) + L"\\";
        CreateDirectoryW(m_dir.c_str(), nullptr);
        for (const wchar_t* file : {L"orvpresd.exe", L"discord_game_sdk.dll"}) {
            CopyFileW((m_from + file).c_str(), (m_dir + file).c_str(), FALSE);
        }
        if (!m_process.start(L"\"" + m_dir + L"orvpresd.exe\" " + presence, m_dir)) {
            return false;
        }
        for (int i = 0; i < 400 && !(m_window = FindWindowW(kIpcClass, nullptr)); ++i) {
            Sleep(25);
        }
        return m_window != nullptr;
    }
    HWND window() const { return m_window; }
    HANDLE handle() const { return m_process.info.hProcess; }
    void stop() { m_process.stop(); }

private:
    std::wstring m_from;
    std::wstring m_dir;
    Process m_process;
    HWND m_window = nullptr;
};

double sendPresence(HWND window, const std::wstring& text)
{
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(text.data());
    const auto start = Clock::now();
    SendMessageW(window, WM_COPYDATA, frontend::kPresenceMessage, reinterpret_cast<LPARAM>(&data));
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Sends text to window, samples the receiving process's commit charge while
// it is handled (under Wine the peak figure is only the current one), and
// adds the time held and the peak growth in MiB.
void floodOnce(HWND window, HANDLE process, const std::wstring& text, std::vector<double>& held,
               std::vector<double>& growth)
{
    auto privateBytes = [process] {
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        GetProcessMemoryInfo(process, &memory, sizeof memory);
        return memory.PagefileUsage;
    };
    const SIZE_T before = privateBytes();
    std::atomic<bool> sending{true};
    SIZE_T peak = before;
    std::thread sampler([&] {
        while (sending) {
            peak = std::max(peak, privateBytes());
            Sleep(1);
        }
    });
    held.push_back(sendPresence(window, text));
    sending = false;
    sampler.join();
    growth.push_back(static_cast<double>(peak - before) / (1024.0 * 1024.0));
}

// What can hold a frame back in our SDK library (sdk/pacer.cpp,
// sdk/burst_repeat.cpp), by discord/sdk_timing.h:
// - the pace: a frame goes at least kPaceStep (4.1 s) after the one before
//   it, and at most kPaceLimit (5) go in any kPaceWindow plus a fortieth of
//   the step (20.1 s);
// - the burst repeat: a frame less than kRepeatAfter plus a fortieth
//   (15.375 s) after the one before it is a burst's, and the newest goes once
//   more that long after it; the repeat is a frame the pace counts, and one
//   due holds back the caller's next update by the pace's step.
// Wire samples are spaced as four frames in a window (5.125 s), counted from
// the previous sample's frame at the peer: the SDK sent that frame before the
// peer had it, so its frames are at least this far apart, and the fifth frame
// back is 20.5 s old, beyond the window. Each sample's frame is a burst's, but
// the next sample's frame replaces the repeat 10 s before it is due. Before
// the first sample, and whenever a frame that is not a sample's own comes, the
// wire is left quiet until no repeat can be due. So the SDK lets every sample
// go at once, and the row measures the daemon and the pipe.
constexpr std::chrono::milliseconds kWireSpacing =
    discord::timing::paceSpacing(discord::timing::kPaceLimit - 1, discord::timing::kPaceWindow);
constexpr std::chrono::milliseconds kRepeatDue = discord::timing::kRepeatAfter + discord::timing::kRepeatAfter / 40;
// No SET_ACTIVITY for this long: a repeat would have come, and the pace
// allows the next frame at once.
constexpr std::chrono::milliseconds kQuietWire = kRepeatDue + kWireSpacing;

void waitForQuietWire(const discordpeer::Peer& peer)
{
    size_t seen = setActivities(peer.records());
    auto last = Clock::now();
    for (;;) {
        const auto left = kQuietWire - (Clock::now() - last);
        if (left <= Clock::duration::zero()) {
            return;
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(left) + 1ms;
        if (peer.waitFor([seen](const auto& r) { return setActivities(r) > seen; }, wait)) {
            seen = setActivities(peer.records());
            last = Clock::now();
        }
    }
}

void sleepUntil(Clock::time_point at)
{
    const auto left = at - Clock::now();
    if (left > Clock::duration::zero()) {
        Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
}

struct WireRun {
    std::vector<double> latencies;
    size_t foreign = 0;  // frames at the peer that were not a sample's own
    size_t left = 0;     // samples left out because such a frame came with them
};

// Presences sent kWireSpacing after the previous one's frame reached the
// peer, each timed from SendMessageW returning to its own frame there.
WireRun measureWire(const discordpeer::Peer& peer, HWND window, int samples)
{
    WireRun run;
    waitForQuietWire(peer);
    size_t frames = setActivities(peer.records());
    Clock::time_point nextAt = Clock::now();
    for (int i = 0; i < samples; ++i) {
        sleepUntil(nextAt);
        if (const size_t now = setActivities(peer.records()); now != frames) {
            run.foreign += now - frames;
            waitForQuietWire(peer);
            frames = setActivities(peer.records());
        }
        const std::string details = "wire " + std::to_string(i);
        const auto sent = Clock::now();
        sendPresence(window, L"details=wire " + std::to_wstring(i) + L"|state=latency");
        const auto returned = Clock::now();
        const bool arrived = peer.waitFor(
            [&details](const std::vector<nlohmann::json>& records) {
                return std::any_of(records.rbegin(), records.rend(), [&details](const nlohmann::json& r) {
                    return r.contains("json") && r["json"].value("cmd", "") == "SET_ACTIVITY" &&
                           r["json"].contains("args") && r["json"]["args"].contains("activity") &&
                           r["json"]["args"]["activity"].value("details", "") == details;
                });
            },
            30s);
        const auto seen = Clock::now();
        const size_t now = setActivities(peer.records());
        if (arrived && now == frames + 1) {
            run.latencies.push_back(std::chrono::duration<double, std::milli>(seen - returned).count());
        } else {
            run.foreign += now - std::min(now, frames + (arrived ? 1 : 0));
            ++run.left;
        }
        frames = now;
        nextAt = seen + kWireSpacing;
        // The repeat this frame's burst set is due kRepeatDue after the SDK
        // sent it, which was after `sent`: the next sample must leave it a
        // step of room, or wait for it to go.
        if (nextAt > sent + kRepeatDue - kWireSpacing) {
            waitForQuietWire(peer);
            frames = setActivities(peer.records());
            nextAt = Clock::now();
        }
    }
    return run;
}

// A presence text: distinct ones carry a new number in their details.
std::wstring presenceText(const wchar_t* tag, int number)
{
    return L"details=" + std::wstring(tag) + L" " + std::to_wstring(number) +
           L"|state=benchmark|gameicon=https://example.com/i.png";
}

// How long WM_COPYDATA holds the sender, the daemon beside an empty window of
// another process (what Wine's messaging costs by itself): each message goes
// to both, in turn, who goes first changing every time, so that both see the
// same moments of a busy machine. Rounds of distinct presences (each with new
// details) alternate with rounds of identical ones (the one last published).
struct FloorRun {
    std::vector<double> daemon, floor;
};

void compareWithFloor(HWND daemon, HWND empty, int messages, const wchar_t* tag, FloorRun& distinct,
                      FloorRun& identical)
{
    constexpr int kRound = 50;
    const std::wstring same = presenceText(tag, -1);
    auto pair = [&](const std::wstring& text, int turn, FloorRun& run) {
        if (turn % 2 == 0) {
            run.daemon.push_back(sendPresence(daemon, text));
            run.floor.push_back(sendPresence(empty, text));
        } else {
            run.floor.push_back(sendPresence(empty, text));
            run.daemon.push_back(sendPresence(daemon, text));
        }
    };
    int number = 0;
    for (int round = 0; round * kRound < messages; ++round) {
        for (int i = 0; i < kRound; ++i, ++number) {
            pair(presenceText(tag, number), number, distinct);
        }
        sendPresence(daemon, same);  // from here on the identical text is the last one published
        for (int i = 0; i < kRound; ++i) {
            pair(same, i + round, identical);
        }
    }
}

void floorRow(const char* what, const FloorRun& run)
{
    const double d50 = percentile(run.daemon, 0.5), f50 = percentile(run.floor, 0.5);
    const double d999 = percentile(run.daemon, 0.999), f999 = percentile(run.floor, 0.999);
    std::printf("| %s | %.3f ms | %.3f ms | x%.2f | %.3f ms | %.3f ms | x%.2f | %zu |\n", what, d50, f50, d50 / f50,
                d999, f999, d999 / f999, run.daemon.size());
}

HWND startEmptyWindow(Process& empty)
{
    // A day: the benchmark ends it. With 100 wire samples the rows after
    // them came more than 600 s after its start, when a window that lived
    // 600 s had gone, and SendMessageW to a window gone returns at once.
    if (!empty.start(L"\"" + exeDir() + L"orvhost.exe\" 86400 --window")) {
        return nullptr;
    }
    HWND window = nullptr;
    for (int i = 0; i < 400 && !(window = FindWindowW(L"orvhost-empty-window", nullptr)); ++i) {
        Sleep(25);
    }
    return window;
}

// The message thread's CPU time (user and kernel) so far, in microseconds.
double threadCpuMicroseconds()
{
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& time) {
        return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10.0;
    };
    return value(kernel) + value(user);
}

// The presence manager on this thread, its core connected to an in-process
// peer, sent WM_COPYDATA through its IPC window from this thread: what the
// message thread spends per presence beyond Wine's messaging, the figure that
// carries over to Windows. Then the distinct path's pieces, one at a time.
void measureInProcess(int messages)
{
    discordpeer::Options options;
    options.endpoint = "\\\\.\\pipe\\discord-ipc-0";
    discordpeer::Peer peer(options);
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    common::setLogSink(&common::logToFile);
    common::initLog(std::wstring(temp) + L"orvbench-inprocess-" + std::to_wstring(GetTickCount64()) + L".log");
    discord::Core* core = nullptr;
    if (!peer.start() || discord::Core::Create(1447226862545010708, DiscordCreateFlags_NoRequireDiscord, &core) !=
                             discord::Result::Ok) {
        std::fprintf(stderr, "cannot connect in-process\n");
        return;
    }
    OrvDiscordManager manager;
    manager.setCoreForTest(std::unique_ptr<discord::Core>(core));  // the manager owns it; core stays a view
    utility::WindowIpcEndpoint endpoint;
    endpoint.create(L"orvbench-inprocess-window", &manager);

    // The watchdog's run_callbacks (completions, freeing their holders) is
    // the message thread's work too: here once every 1,000 messages, fewer
    // than the front end could send in its second.
    auto send = [&](const std::wstring& text, int i) {
        sendPresence(endpoint.window(), text);
        if (i % 1000 == 999) {
            core->RunCallbacks();
        }
    };
    std::vector<double> distinct, identical;
    int number = 0;
    for (int run = 0; run < 3; ++run) {
        double start = threadCpuMicroseconds();
        for (int i = 0; i < messages; ++i) {
            send(presenceText(L"in", number++), i);
        }
        distinct.push_back((threadCpuMicroseconds() - start) / messages);
        const std::wstring same = presenceText(L"in", number++);
        sendPresence(endpoint.window(), same);
        start = threadCpuMicroseconds();
        for (int i = 0; i < messages; ++i) {
            send(same, i);
        }
        identical.push_back((threadCpuMicroseconds() - start) / messages);
    }
    std::printf("| message thread CPU per distinct presence (GetThreadTimes, %d messages, median of 3) | %.1f us |\n",
                messages, percentile(distinct, 0.5));
    std::printf("| message thread CPU per identical presence (the same) | %.1f us |\n", percentile(identical, 0.5));
    std::printf("| difference | %.1f us |\n", percentile(distinct, 0.5) - percentile(identical, 0.5));

    // The pieces of the distinct path, wall clock, median of single calls.
    auto timed = [](auto&& piece) {
        std::vector<double> times;
        for (int i = 0; i < 10000; ++i) {
            const auto start = Clock::now();
            piece(i);
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        return percentile(times, 0.5);
    };
    DiscordActivity record{};
    std::snprintf(record.details, sizeof record.details, "details");
    std::printf("| `_time64`, one call | %.2f us |\n", timed([](int) { (void)_time64(nullptr); }));
    std::printf("| `GetSystemTimeAsFileTime`, one call | %.2f us |\n", timed([](int) {
                    FILETIME now;
                    GetSystemTimeAsFileTime(&now);
                }));
    std::printf("| `ActivityManager::UpdateActivity` with a built record | %.2f us |\n", timed([&](int i) {
                    record.timestamps.start = i;
                    core->ActivityManager().UpdateActivity(record, [](discord::Result) {});
                }));
    std::printf("| `parseCmd` and `update`, details and state new (three log calls among them) | %.2f us |\n",
                timed([&](int i) {
                    manager.parseCmd(presenceText(L"piece", i));
                    manager.update();
                }));
    core->RunCallbacks();
    // What the watchdog's tick costs after a second of presences replaced
    // while the pace holds: one completion each.
    std::vector<double> ticks;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 5000; ++i) {
            record.timestamps.start = i;
            core->ActivityManager().UpdateActivity(record, [](discord::Result) {});
        }
        const auto start = Clock::now();
        core->RunCallbacks();
        ticks.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("| `Core::RunCallbacks` after 5,000 replaced presences (median of 5) | %.1f us |\n",
                percentile(ticks, 0.5));
    common::shutdownLog();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const int value = static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10));
        if (name == L"--from") settings.from = argv[i + 1];
        else if (name == L"--messages") settings.messages = value;
        else if (name == L"--samples") settings.latencySamples = value;
        else if (name == L"--processes") settings.processes = value;
    }

    Process frontEnd;
    if (!frontEnd.start(L"\"" + exeDir() + L"orvhost.exe\"")) {
        std::fprintf(stderr, "cannot start orvhost.exe\n");
        return 1;
    }
    // The floor beside the daemon: an empty window of another process.
    Process empty;
    HWND emptyWindow = startEmptyWindow(empty);
    if (!emptyWindow) {
        std::fprintf(stderr, "cannot start the empty window\n");
        return 1;
    }
    struct {
        FloorRun distinct, identical;
    } reading, hung;
    std::printf("| measure | median | p99.9 | max | samples |\n|---|---|---|---|---|\n");

    // Discord reading normally.
    {
        discordpeer::Options options;
        options.endpoint = "\\\\.\\pipe\\discord-ipc-0";
        discordpeer::Peer peer(options);
        DaemonRun daemon(settings.from);
        if (!peer.start() || !daemon.start(L"details=start|state=bench")) {
            std::fprintf(stderr, "cannot start the peer or the daemon\n");
            return 1;
        }
        peer.waitFor([](const auto& r) { return setActivities(r) >= 1; }, 10s);
        Sleep(2000);
        printPrivateMemory(daemon.handle(), "idle after start-up");
        compareWithFloor(daemon.window(), emptyWindow, settings.messages, L"a", reading.distinct, reading.identical);

        // On the wire, pace allowing: see kWireSpacing.
        const WireRun wire = measureWire(peer, daemon.window(), settings.latencySamples);
        row("WM_COPYDATA return to frame at Discord, pace allowing (ms)", wire.latencies, "ms");
        std::printf("| frames at Discord between the wire samples besides their own (a sample one of them met "
                    "is left out) | %zu | | | %zu |\n",
                    wire.foreign, wire.latencies.size() + wire.left);

        printPrivateMemory(daemon.handle(), "after the presences above");

        daemon.stop();
        peer.stop();
    }

    // Discord connected but no longer reading: the sender must not notice.
    {
        discordpeer::Options options;
        options.endpoint = "\\\\.\\pipe\\discord-ipc-0";
        options.hangAfter = 2;
        discordpeer::Peer peer(options);
        DaemonRun daemon(settings.from);
        if (!peer.start() || !daemon.start(L"details=start|state=bench")) {
            std::fprintf(stderr, "cannot start the peer or the daemon\n");
            return 1;
        }
        compareWithFloor(daemon.window(), emptyWindow, settings.messages, L"b", hung.distinct, hung.identical);
        daemon.stop();
        peer.stop();
    }

    // One 10 MiB payload of '|': what it costs the daemon, beside what it
    // costs an empty window in another process, which is Wine's own share.
    {
        discordpeer::Options options;
        options.endpoint = "\\\\.\\pipe\\discord-ipc-0";
        discordpeer::Peer peer(options);
        DaemonRun daemon(settings.from);
        if (!peer.start() || !daemon.start(L"details=start|state=bench")) {
            std::fprintf(stderr, "cannot start the peer or the daemon\n");
            return 1;
        }
        const std::wstring flood(5 * 1024 * 1024, L'|');
        std::vector<double> emptyHeld, emptyGrowth, daemonHeld, daemonGrowth;
        for (int i = 0; i < 5; ++i) {
            floodOnce(emptyWindow, empty.info.hProcess, flood, emptyHeld, emptyGrowth);
            floodOnce(daemon.window(), daemon.handle(), flood, daemonHeld, daemonGrowth);
        }
        row("10 MiB of '|', held the sender, empty window (ms)", emptyHeld, "ms");
        row("10 MiB of '|', held the sender, daemon (ms)", daemonHeld, "ms");
        row("10 MiB of '|', peak private memory growth, empty window (MiB)", emptyGrowth, "MiB");
        row("10 MiB of '|', peak private memory growth, daemon (MiB)", daemonGrowth, "MiB");
        daemon.stop();
        peer.stop();
    }

    // The once-a-second process check with many processes running.
    {
        std::vector<std::unique_ptr<Process>> crowd;
        for (int i = 0; i < settings.processes; ++i) {
            auto process = std::make_unique<Process>();
            if (!process->start(L"\"" + exeDir() + L"orvhost.exe\" 600")) {
                break;
            }
            crowd.push_back(std::move(process));
        }
        Sleep(2000);
        std::list<utility::process::ProcessInfo> all;
        utility::process::enumProcess(all);
        std::vector<double> checks;
        for (int i = 0; i < 50; ++i) {
            const auto start = Clock::now();
            utility::process::isProcessExist(L"no-such-front-end.exe");  // the worst case: no match
            checks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        char label[160];
        std::snprintf(label, sizeof label, "full process check (snapshot), %zu processes running (ms)", all.size());
        row(label, checks, "ms");

        // The watchdog's check: a snapshot only until the front end is found.
        // That first check, which finds it, is its own row: among the ticks
        // after it, it would be their p99.9 and max.
        utility::process::ProcessWatch watch(L"orvhost.exe");
        std::vector<double> finding;
        {
            const auto start = Clock::now();
            watch.isRunning();
            finding.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::snprintf(label, sizeof label, "watchdog's first front-end check (finds it: a snapshot), %zu processes running (ms)",
                      all.size());
        row(label, finding, "ms");
        std::vector<double> watched;
        for (int i = 0; i < 50; ++i) {
            const auto start = Clock::now();
            watch.isRunning();
            watched.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::snprintf(label, sizeof label, "watchdog's front-end check once it holds the front end, %zu processes running (ms)", all.size());
        row(label, watched, "ms");
    }

    std::printf("\n### WM_COPYDATA held the sender: the daemon beside an empty window (each message to both)\n\n");
    std::printf("| presences | daemon p50 | empty p50 | ratio | daemon p99.9 | empty p99.9 | ratio | samples |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    floorRow("distinct, Discord reading", reading.distinct);
    floorRow("identical, Discord reading", reading.identical);
    floorRow("distinct, Discord hung", hung.distinct);
    floorRow("identical, Discord hung", hung.identical);

    std::printf("\n### the message thread in-process (the presence manager and the SDK in this process)\n\n");
    std::printf("| measure | value |\n|---|---|\n");
    measureInProcess(10000);
    return 0;
}
