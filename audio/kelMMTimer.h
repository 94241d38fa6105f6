#pragma once
// kelMMTimer: the multimedia timer that paces the software devices. A
// kelAbstractTimer over the platform's periodic timer event (timeSetEvent).
//
// Resolution: every interval change stores a period, minPeriod or (when
// that is 0) interval / 10, raised to the platform's minimum; while a period
// is stored the timer holds one 1 ms resolution request (timeBeginPeriod(1)),
// ended exactly once when the timer goes.
//
// Rate: a whole-millisecond interval ticks on the platform event's own
// absolute deadlines. A rate whose period is not a whole number of
// milliseconds (49 ticks a second: 20.408 ms) is set with setTicksPerSecond;
// the timer then keeps deadlines of its own, start + n * 1000000 / rate
// microseconds, and checks them every stored period, so it ticks 49 times a
// second on average, not the 50 of the rounded 20 ms interval.
//
// Clock: by default the system's monotonic clock. A test (or an owner under
// test) may give it a kelManualClock while it is stopped: the timer then
// checks that clock every stored period of real time and raises one tick
// for every deadline the clock has passed, so advancing the clock by 1 s
// raises the ticks of 1 s.
//
// Make it with kelCreate and free it with kelFree (not from inside onTimer).
// Ticks run on the platform timer's thread (see kelAbstractTimer).

#include "core/kelAbstractTimer.h"
#include "core/kelClock.h"
#include "platform/kelTimeApi.h"

#include <atomic>
#include <cstdint>

class kelMMTimer : public kelAbstractTimer
{
public:
    // `minPeriod` 0 asks for one tenth of the interval.
    explicit kelMMTimer(uintptr_t interval = 1000, uintptr_t minPeriod = 0);
    ~kelMMTimer() override;

    // Ticks per second, kept exactly on average; the interval becomes the
    // rounded-down period (at least 1 ms). 0 goes back to whole-millisecond
    // pacing by the interval. A running timer restarts. Owner's thread. An
    // interval set later that differs from the rounded period ends the rate.
    void setTicksPerSecond(uintptr_t rate) noexcept;
    uintptr_t ticksPerSecond() const noexcept { return f_rate.load(); }

    // Set while stopped; the clock must outlive the timer.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }

    // Ticks raised since construction (paused ticks are not raised).
    uint64_t tickCount() const noexcept { return f_ticks.load(); }

    uintptr_t minPeriod() const noexcept { return f_minPeriod; }
    // The period stored at the last interval change; 0 = none.
    uintptr_t lastMinPeriod() const noexcept { return f_lastMinPeriod.load(); }
    // The platform event while running; 0 otherwise.
    uint32_t timeEvent() const noexcept { return f_timeEvent.load(); }
    const TIMECAPS& caps() const noexcept { return f_caps; }

    kelString _classID() const override { return u"kelMMTimer"; }

protected:
    // Counts the tick (tickCount).
    void doTimer() override;
    void changeInterval(uintptr_t& interval) override;
    bool doStart() override;
    void doStop() override;

private:
    // Platform callback; `user` is the timer.
    static void onTimeEvent(uint32_t timerId, uint32_t msg, uintptr_t user, uintptr_t, uintptr_t);
    // One platform event: a tick, or the ticks of every deadline passed.
    void serviceEvent() noexcept;
    // The period rule for `interval`, and the request that goes with it.
    void storePeriod(uintptr_t interval) noexcept;
    bool keepsOwnDeadlines() const noexcept;

    std::atomic<uint32_t> f_timeEvent{0};
    uintptr_t f_minPeriod;
    std::atomic<uintptr_t> f_lastMinPeriod{0};
    TIMECAPS f_caps{1, 1000000};
    // The 1 ms resolution request is held (begun and not yet ended).
    bool f_resolutionHeld = false;

    std::atomic<uintptr_t> f_rate{0};
    kelClockSlot f_clock;
    // Own deadlines: deadline n is f_startUs + n * f_stepNum / f_stepDen
    // microseconds. Read and written only on the platform event's thread
    // once started (doStart sets them before the event exists).
    bool f_ownDeadlines = false;
    bool f_dropsLag = false;
    uint64_t f_startUs = 0;
    uint64_t f_deadlineIndex = 0;
    uint64_t f_stepNum = 0;
    uint64_t f_stepDen = 1;
    std::atomic<bool> f_stopping{false};
    std::atomic<uint64_t> f_ticks{0};
};
