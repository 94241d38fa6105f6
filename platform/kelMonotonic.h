#pragma once
// The one reading of the operating system's monotonic clock. Everything that
// measures elapsed time (tickNow, kelClock::system, lock and socket
// time-outs) comes through here, so all of them agree.

#include <cstdint>

// Microseconds of CLOCK_MONOTONIC since an arbitrary start; never goes back.
// Any thread.
uint64_t kelMonotonicUs() noexcept;

// kelMonotonicUs() in whole milliseconds.
inline uint64_t kelMonotonicMs() noexcept
{
    return kelMonotonicUs() / 1000u;
}
