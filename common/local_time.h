#pragma once

#include <windows.h>

#include <cstdint>

namespace common {

// The system time (UTC) read with the finest clock the system has. Anything
// that wants that clock calls this: GetSystemTimePreciseAsFileTime exists from
// Windows 8 on only, and Windows 7 refuses to start an image that imports it.
FILETIME preciseSystemTime() noexcept;

// What GetLocalTime gives, at a fraction of its cost: the system time read
// with the finest clock the system has, plus the local-time bias, which is
// looked up again at most once per second. A change of time zone or of
// daylight saving time therefore shows within a second.
void currentLocalTime(SYSTEMTIME& out) noexcept;

// Whole seconds since 1970-01-01 UTC, as _time64 gives them, read from the
// system clock alone: under Wine _time64 goes through the time-zone code and
// stats /etc/localtime on every call.
int64_t currentUnixSeconds() noexcept;

// The system-wide monotonic clock (QueryUnbiasedInterruptTime), in 100 ns
// units: setting the system clock does not move it.
unsigned long long monotonicNow() noexcept;

// When this process was created, on that clock. Its age is measured on the
// system clock, so call it first thing.
unsigned long long processCreationOnMonotonicClock() noexcept;

}  // namespace common
