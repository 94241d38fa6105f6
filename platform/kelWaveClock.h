#pragma once
// The time source that paces the virtual wave device. The layer sits below
// the library's clock, so it defines this small interface and the component
// above adapts its own clock to it (tests adapt a manual clock). A clock
// that follows the monotonic clock lets the device sleep to its next
// deadline; any other clock (a manual one) is polled every millisecond of
// real time, so advancing it by 10 s plays 10 s at once.

#include <cstdint>

class kelWaveClock
{
public:
    virtual ~kelWaveClock() = default;
    // Microseconds since an arbitrary start; never goes back. Any thread.
    virtual uint64_t nowUs() const noexcept = 0;
    // True when nowUs() is CLOCK_MONOTONIC's own reading.
    virtual bool isMonotonic() const noexcept { return false; }

    // The operating system's monotonic clock; lives for the whole process.
    static const kelWaveClock& monotonic() noexcept;
};
