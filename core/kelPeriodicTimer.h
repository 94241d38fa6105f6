#pragma once
// kelPeriodicTimer: a kelAbstractTimer whose time source is a thread of its
// own ticking on absolute deadlines of the monotonic clock: deadline n is
// start + n * interval, so the time a tick handler takes never shifts the
// ticks after it. A tick that is late (a busy machine) is raised at once and
// the schedule catches up; when it falls more than kMaxLag ms behind, the
// schedule restarts from the present instead of raising a burst.
//
// Make it with kelCreate and free it with kelFree.

#include "core/kelAbstractTimer.h"

#include <atomic>
#include <cstdint>

class kelThread;

// Deadline arithmetic of the periodic timer, in nanoseconds of any monotonic
// clock; kept apart so it can be driven by hand.
class kelTickSchedule
{
public:
    // Ticks more than this far behind are dropped and the schedule restarts.
    static constexpr int64_t kMaxLag = 1000;

    // Starts the schedule at `now`; the first deadline is now + interval.
    void reset(int64_t nowNs, uint64_t intervalMs) noexcept;
    int64_t nextDeadline() const noexcept { return f_next; }
    // Moves on to the deadline after the one just reached at `nowNs`.
    // Returns how many deadlines were dropped to catch up (usually 0).
    uint64_t advance(int64_t nowNs) noexcept;

private:
    int64_t f_next = 0;
    int64_t f_period = 0;
};

class kelPeriodicTimer : public kelAbstractTimer
{
public:
    explicit kelPeriodicTimer(uintptr_t interval, intptr_t priority = 0);
    ~kelPeriodicTimer() override;

    // Ticks raised since construction.
    uint64_t tickCount() const noexcept;
    // Deadlines dropped because the timer fell too far behind.
    uint64_t droppedTicks() const noexcept;

    kelString _classID() const override { return u"kelPeriodicTimer"; }

protected:
    bool doStart() override;
    void doStop() override;
    void beforeDestruction() override;

private:
    class Worker;
    friend class Worker;

    // Touched only under the base class's start/stop serialisation.
    Worker* f_worker = nullptr;
    Worker* f_retired = nullptr;
    intptr_t f_priority;
    std::atomic<uint64_t> f_ticks{0};
    std::atomic<uint64_t> f_dropped{0};
};
