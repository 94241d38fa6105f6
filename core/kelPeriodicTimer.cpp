#include "core/kelPeriodicTimer.h"

#include "core/kelCreate.h"
#include "core/kelThread.h"
#include "platform/kelMonotonic.h"
#include "platform/kelPlatformThread.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <time.h>

namespace {

constexpr int64_t kNsPerMs = 1000000;

// The one monotonic reading, which is CLOCK_MONOTONIC itself (no offset), so
// its values serve as clock_nanosleep's absolute deadlines.
int64_t monotonicNs() noexcept
{
    return static_cast<int64_t>(kelMonotonicUs()) * 1000;
}

timespec toTimespec(int64_t ns) noexcept
{
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

// --- kelTickSchedule --------------------------------------------------------

void kelTickSchedule::reset(int64_t nowNs, uint64_t intervalMs) noexcept
{
    f_period = static_cast<int64_t>(intervalMs == 0 ? 1 : intervalMs) * kNsPerMs;
    f_next = nowNs + f_period;
}

uint64_t kelTickSchedule::advance(int64_t nowNs) noexcept
{
    f_next += f_period;
    const int64_t lag = nowNs - f_next;
    if (lag <= kMaxLag * kNsPerMs) return 0;
    // Skip whole periods, staying on the same grid.
    const int64_t skipped = lag / f_period + 1;
    f_next += skipped * f_period;
    return static_cast<uint64_t>(skipped);
}

// --- the ticking thread -------------------------------------------------------

class kelPeriodicTimer::Worker : public kelThread
{
public:
    Worker(kelPeriodicTimer* timer, intptr_t priority) : kelThread(false, priority), f_timer(timer) {}

protected:
    intptr_t execute(uintptr_t) override
    {
        kelTickSchedule schedule;
        schedule.reset(monotonicNs(), f_timer->interval());
        const int wake = wakeFd();
        while (!shouldStop()) {
            const int64_t deadline = schedule.nextDeadline();
            const int64_t left = deadline - monotonicNs();
            if (left > 0) {
                // Wait on the wake descriptor, so a stop ends the wait at once.
                pollfd fd{wake, POLLIN, 0};
                const timespec limit = toTimespec(left);
                const int n = ::ppoll(&fd, wake >= 0 ? 1 : 0, &limit, nullptr);
                if (n > 0) {
                    consumeWake();
                    continue;
                }
                // ppoll may round; land on the deadline itself.
                const timespec at = toTimespec(deadline);
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
                }
            }
            if (shouldStop()) break;
            f_timer->tick();
            f_timer->f_ticks.fetch_add(1);
            f_timer->f_dropped.fetch_add(schedule.advance(monotonicNs()));
        }
        return 0;
    }

private:
    kelPeriodicTimer* f_timer;
};

// --- kelPeriodicTimer -----------------------------------------------------------

kelPeriodicTimer::kelPeriodicTimer(uintptr_t interval, intptr_t priority)
    : kelAbstractTimer(interval), f_priority(priority)
{}

kelPeriodicTimer::~kelPeriodicTimer()
{
    kelFree(f_worker);
    kelFree(f_retired);
}

void kelPeriodicTimer::beforeDestruction()
{
    kelAbstractTimer::beforeDestruction();
    kelFree(f_worker);
    f_worker = nullptr;
    kelFree(f_retired);
    f_retired = nullptr;
}

bool kelPeriodicTimer::doStart()
{
    // A worker retired from inside its own tick has been asked to stop;
    // free it once we are not on it.
    if (f_retired && f_retired->getThreadId() != kelCurrentThreadId()) {
        kelFree(f_retired);
        f_retired = nullptr;
    }
    if (!f_worker) f_worker = kelCreate<Worker>(this, f_priority);
    if (!f_worker) return false;
    return f_worker->start(10000);
}

void kelPeriodicTimer::doStop()
{
    if (!f_worker) return;
    if (f_worker->getThreadId() == kelCurrentThreadId()) {
        // Stopped from a tick handler: the worker ends after this tick. It
        // cannot be freed from its own thread, so it is kept aside.
        f_worker->askStop();
        if (f_retired) kelFree(f_retired);
        f_retired = f_worker;
        f_worker = nullptr;
        return;
    }
    f_worker->stop(3000, true);
}

uint64_t kelPeriodicTimer::tickCount() const noexcept
{
    return f_ticks.load();
}

uint64_t kelPeriodicTimer::droppedTicks() const noexcept
{
    return f_dropped.load();
}
