#include "core/kelEvent.h"

#include "platform/kelEventFd.h"

#include <algorithm>
#include <chrono>

// A thread blocked in waitForAny registers one of these with every event it
// waits on; setState(true) wakes it so it can look again.
struct kelEvent::Waiter
{
    std::mutex mutex;
    std::condition_variable cond;
    bool poked = false;

    void poke()
    {
        std::lock_guard lock(mutex);
        poked = true;
        cond.notify_one();
    }
};

namespace {

// Timed waits sleep on a condition variable, which takes its deadline in a
// standard clock; steady_clock is the same CLOCK_MONOTONIC that
// kelMonotonicUs reads, so these deadlines agree with tickNow.
using Clock = std::chrono::steady_clock;

// Sets the absolute deadline of a wait; false for a wait without limit.
bool deadlineFor(int64_t timeout, Clock::time_point& deadline)
{
    if (timeout == kelEvent::kInfinite) return false;
    const int64_t ms = timeout < 0 ? -timeout : timeout;
    deadline = Clock::now() + std::chrono::milliseconds(ms);
    return true;
}

} // namespace

kelEvent::kelEvent(bool manualReset, bool initialState, const kelString& name)
    : f_manualReset(manualReset), f_name(name), f_signaled(initialState)
{}

kelEvent::~kelEvent() = default;

bool kelEvent::takeLocked() noexcept
{
    if (!f_signaled) return false;
    if (!f_manualReset) {
        f_signaled = false;
        if (f_fd) f_fd->clear();
    }
    return true;
}

void kelEvent::setState(bool signaled) noexcept
{
    std::vector<Waiter*> waiters;
    {
        std::lock_guard lock(f_mutex);
        f_signaled = signaled;
        if (f_fd) {
            if (signaled)
                f_fd->raise();
            else
                f_fd->clear();
        }
        if (!signaled) return;
        if (f_manualReset)
            f_cond.notify_all();
        else
            f_cond.notify_one();
        // Poke multi-waiters under our mutex: a waiter unregisters under it,
        // so none can be freed while we poke it.
        for (Waiter* w : f_waiters)
            w->poke();
    }
}

bool kelEvent::waitFor(int64_t timeout) noexcept
{
    std::unique_lock lock(f_mutex);
    Clock::time_point deadline;
    if (!deadlineFor(timeout, deadline)) {
        f_cond.wait(lock, [this] { return f_signaled; });
        return takeLocked();
    }
    if (!f_cond.wait_until(lock, deadline, [this] { return f_signaled; })) return false;
    return takeLocked();
}

bool kelEvent::isSignaled() const noexcept
{
    std::lock_guard lock(f_mutex);
    return f_signaled;
}

int kelEvent::pollFd() noexcept
{
    std::lock_guard lock(f_mutex);
    if (!f_fd) {
        f_fd = std::make_unique<kelEventFd>();
        if (f_signaled) f_fd->raise();
    }
    return f_fd->fd();
}

void kelEvent::releasePollFd() noexcept
{
    std::lock_guard lock(f_mutex);
    f_fd.reset();
}

intptr_t kelEvent::waitForAny(kelEvent* const* events, size_t count, int64_t timeout) noexcept
{
    if (!events || count == 0) return -1;
    Clock::time_point deadline;
    const bool limited = deadlineFor(timeout, deadline);

    Waiter waiter;
    for (size_t i = 0; i < count; ++i) {
        std::lock_guard lock(events[i]->f_mutex);
        events[i]->f_waiters.push_back(&waiter);
    }
    intptr_t fired = -1;
    for (;;) {
        for (size_t i = 0; i < count && fired < 0; ++i) {
            std::lock_guard lock(events[i]->f_mutex);
            if (events[i]->takeLocked()) fired = static_cast<intptr_t>(i);
        }
        if (fired >= 0) break;
        std::unique_lock lock(waiter.mutex);
        if (limited) {
            if (!waiter.cond.wait_until(lock, deadline, [&] { return waiter.poked; })) break;
        } else {
            waiter.cond.wait(lock, [&] { return waiter.poked; });
        }
        waiter.poked = false;
    }
    for (size_t i = 0; i < count; ++i) {
        std::lock_guard lock(events[i]->f_mutex);
        auto& list = events[i]->f_waiters;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
    }
    return fired;
}
