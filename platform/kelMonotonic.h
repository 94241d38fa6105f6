#pragma once
// The one reading of the operating system's monotonic clock. Everything that
// measures elapsed time (tickNow, kelClock::system, lock and socket
// time-outs) comes through here, so all of them agree.

#include <cstdint>

// Microseconds of CLOCK_MONOTONIC since an arbitrary start; never goes back.
// The value is that clock's own, without an offset, so it also serves as an
// absolute CLOCK_MONOTONIC deadline (clock_nanosleep). Any thread.
uint64_t kelMonotonicUs() noexcept;

// kelMonotonicUs() in whole milliseconds.
inline uint64_t kelMonotonicMs() noexcept
{
    return kelMonotonicUs() / 1000u;
}
