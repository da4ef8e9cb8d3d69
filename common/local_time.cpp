#include "common/local_time.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace common {
namespace {

using SystemTimeFunction = VOID(WINAPI*)(LPFILETIME);

constexpr uint64_t kTicksPerSecond = 10'000'000;  // FILETIME counts 100 ns
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000;  // 1601 to 1970
constexpr int64_t kBiasOffset = int64_t{1} << 19;  // biases are within +-14 hours, far below this
constexpr int kBiasBits = 20;

// GetSystemTimePreciseAsFileTime exists from Windows 8 on and is the cheaper
// of the two under Wine; Windows 7 has only the coarse clock. Looked up, never
// imported (scripts/check-imports.py keeps it so).
SystemTimeFunction systemTimeFunction() noexcept
{
    static const SystemTimeFunction function = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC precise = kernel ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
        return precise ? reinterpret_cast<SystemTimeFunction>(reinterpret_cast<void*>(precise))
                       : &GetSystemTimeAsFileTime;
    }();
    return function;
}

uint64_t ticksOf(const FILETIME& time) noexcept
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The UTC second the bias was looked up in and the bias in seconds, in one
// word so that every thread sees a matching pair. 0: nothing looked up yet.
std::atomic<uint64_t> g_bias{0};

}  // namespace

FILETIME preciseSystemTime() noexcept
{
    FILETIME time;
    systemTimeFunction()(&time);
    return time;
}

void currentLocalTime(SYSTEMTIME& out) noexcept
{
    const FILETIME utc = preciseSystemTime();
    const uint64_t ticks = ticksOf(utc);
    const uint64_t second = ticks / kTicksPerSecond;

    int64_t biasSeconds = 0;
    const uint64_t cached = g_bias.load(std::memory_order_relaxed);
    if (cached != 0 && (cached >> kBiasBits) == second) {
        biasSeconds = static_cast<int64_t>(cached & ((uint64_t{1} << kBiasBits) - 1)) - kBiasOffset;
    } else {
        FILETIME local;
        if (!FileTimeToLocalFileTime(&utc, &local)) {
            GetLocalTime(&out);
            return;
        }
        biasSeconds = static_cast<int64_t>(ticksOf(local) - ticks) / static_cast<int64_t>(kTicksPerSecond);
        if (biasSeconds > -kBiasOffset && biasSeconds < kBiasOffset) {
            g_bias.store((second << kBiasBits) | static_cast<uint64_t>(biasSeconds + kBiasOffset),
                         std::memory_order_relaxed);
        }
    }

    const uint64_t localTicks = ticks + static_cast<uint64_t>(biasSeconds) * kTicksPerSecond;
    FILETIME local;
    local.dwLowDateTime = static_cast<DWORD>(localTicks);
    local.dwHighDateTime = static_cast<DWORD>(localTicks >> 32);
    if (!FileTimeToSystemTime(&local, &out)) {
        GetLocalTime(&out);
    }
}

int64_t currentUnixSeconds() noexcept
{
    FILETIME utc;
    GetSystemTimeAsFileTime(&utc);
    return static_cast<int64_t>((ticksOf(utc) - kUnixEpochTicks) / kTicksPerSecond);
}

unsigned long long monotonicNow() noexcept
{
    ULONGLONG time = 0;
    QueryUnbiasedInterruptTime(&time);
    return time;
}

unsigned long long processCreationOnMonotonicClock() noexcept
{
    // The creation time is given on the system clock, which can be set back
    // or forward at any moment: only its distance from now is used, read
    // first thing, before the clock is likely to have moved.
    const unsigned long long monotonic = monotonicNow();
    const FILETIME system = preciseSystemTime();
    FILETIME created = {};
    FILETIME unused[3] = {};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &unused[0], &unused[1], &unused[2])) {
        return monotonic;
    }
    auto value = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    const unsigned long long age = value(system) > value(created) ? value(system) - value(created) : 0;
    return monotonic - std::min(age, monotonic);
}

}  // namespace common
