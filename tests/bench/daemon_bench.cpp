// Measures the daemon as the front end and Discord see it, and prints tables:
// how long WM_COPYDATA holds the sender, beside an empty window of another
// process in interleaved rounds (with Discord reading, and with Discord
// connected but no longer reading), how soon a presence is on the wire, what
// the once-a-second process check costs, and, in this process, what the
// message thread spends per presence and on each piece of a new one.
// A benchmark, not a test: run it through scripts/bench.sh.
#include "common/log.h"
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
    if (!empty.start(L"\"" + exeDir() + L"orvhost.exe\" 600 --window")) {
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

        // On the wire: wait out the pace before each sample.
        std::vector<double> wire;
        for (int i = 0; i < settings.latencySamples; ++i) {
            Sleep(i == 0 ? 21000 : 4100);
            const size_t before = setActivities(peer.records());
            sendPresence(daemon.window(), L"details=wire " + std::to_wstring(i) + L"|state=latency");
            const auto returned = Clock::now();
            peer.waitFor([before](const auto& r) { return setActivities(r) > before; }, 30s);
            wire.push_back(std::chrono::duration<double, std::milli>(Clock::now() - returned).count());
        }
        row("WM_COPYDATA return to frame at Discord, pace allowing (ms)", wire, "ms");

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
        utility::process::ProcessWatch watch(L"orvhost.exe");
        std::vector<double> watched;
        for (int i = 0; i < 50; ++i) {
            const auto start = Clock::now();
            watch.isRunning();
            watched.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::snprintf(label, sizeof label, "watchdog's front-end check, %zu processes running (ms)", all.size());
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
