// What a log call costs the calling thread, with the writer running.
// A benchmark, not a test: run it through scripts/bench.sh.
#include "common/log.h"
#include "common/log_writer.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"orvbench-log-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    common::setLogSink(&common::logToFile);
    common::initLog(path);

    const std::wstring text = L"details=Racing Star|state=Lap 2 of 3|gameicon=https://example.com/icons/racing.png";
    // Each sample times ten calls, so that the clock's own cost (about 0.15 us
    // a read under Wine) is spread thin.
    constexpr int kCallsPerSample = 10;
    std::vector<double> costs;
    for (int sample = 0; sample < 10000; ++sample) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCallsPerSample; ++i) {
            common::log("OrvDiscordManager::onHandleWindowIPC", 79, L"onCopyData msg = %d, data = %s", 9990,
                        text.c_str());
        }
        costs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() /
                        kCallsPerSample);
        if (sample % 20 == 0) {
            Sleep(1);  // a paced caller, as the daemon is, rather than a flood the bound would drop
        }
    }
    common::shutdownLog();
    DeleteFileW(path.c_str());
    std::sort(costs.begin(), costs.end());
    std::printf("| log call, calling thread, mean of 10 per sample (us) | %.2f us | %.2f us | %.2f us | %zu |\n",
                costs[costs.size() / 2], costs[costs.size() * 999 / 1000], costs.back(), costs.size());
    return 0;
}
