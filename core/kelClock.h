#pragma once
// kelClock: the time source of the library's logic.
//
// Components take their time from a kelClock and pass the same clock down to
// what they own (RTP receivers and transmitters, RTCP stacks, destination
// keep-alives, devices, timers), so a test can hand the top of the chain a
// kelManualClock and drive report intervals, time-outs and keep-alives by
// advancing it, instead of sleeping through them.
//
// The clock is monotonic and never wraps (64 bits). It is not the wall clock:
// NTP timestamps in sender reports come from the SNTP clock, which is another
// quantity.
//
// Holders keep a reference or pointer; whoever installs a clock guarantees it
// outlives every object it was given to. kelClock::system() lives for the
// whole process.

#include <atomic>
#include <cstdint>

class kelClock
{
public:
    virtual ~kelClock() = default;

    // Microseconds since an arbitrary start. Any thread.
    virtual uint64_t nowUs() const noexcept = 0;
    // Milliseconds since the same start. Any thread.
    uint64_t nowMs() const noexcept { return nowUs() / 1000u; }
    // nowMs() - markMs, or 0 when the mark lies in the future.
    uint64_t msSince(uint64_t markMs) const noexcept
    {
        const uint64_t now = nowMs();
        return now > markMs ? now - markMs : 0;
    }

    // The operating system's monotonic clock (the same as tickNow).
    static const kelClock& system() noexcept;
};

// A clock that moves only when told to. Thread-safe: tests advance it from
// their own thread while the component's threads read it.
class kelManualClock final : public kelClock
{
public:
    // Starts at a large value, so that code subtracting an interval from
    // "now" does not meet zero.
    explicit kelManualClock(uint64_t startMs = 1000000) noexcept : f_us(startMs * 1000u) {}

    uint64_t nowUs() const noexcept override { return f_us.load(std::memory_order_acquire); }

    void advanceMs(uint64_t ms) noexcept { f_us.fetch_add(ms * 1000u, std::memory_order_acq_rel); }
    void advanceUs(uint64_t us) noexcept { f_us.fetch_add(us, std::memory_order_acq_rel); }
    // Sets the time, backwards too: a test may replay a moment it passed.
    void setMs(uint64_t ms) noexcept { f_us.store(ms * 1000u, std::memory_order_release); }

private:
    std::atomic<uint64_t> f_us;
};

// The clock slot of an object that may be given a clock: the system clock
// until set. Reading and setting are safe from any thread.
class kelClockSlot
{
public:
    const kelClock& get() const noexcept { return *f_clock.load(std::memory_order_acquire); }
    void set(const kelClock& clock) noexcept { f_clock.store(&clock, std::memory_order_release); }
    uint64_t nowMs() const noexcept { return get().nowMs(); }
    uint64_t nowUs() const noexcept { return get().nowUs(); }

private:
    std::atomic<const kelClock*> f_clock{&kelClock::system()};
};
