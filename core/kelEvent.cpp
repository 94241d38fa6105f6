#include "core/kelEvent.h"

#include "platform/kelEventFd.h"

#include <algorithm>
#include <array>
#include <chrono>

// A thread blocked in waitForAny registers one of these with every event it
// waits on; setState(true) wakes it so it can look again. It is shared, so
// that setState can wake it after letting go of the event's mutex: a waiter
// woken while the waker still holds a lock it needs next would run, block
// on that lock and switch back, several thread switches for one wake.
struct kelEvent::Waiter
{
    std::mutex mutex;
    std::condition_variable cond;
    bool poked = false;

    void poke()
    {
        {
            std::lock_guard lock(mutex);
            poked = true;
        }
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
    : f_manualReset(manualReset), f_name(name), f_state(initialState ? kSignaled : 0)
{}

kelEvent::~kelEvent() = default;

bool kelEvent::takeLocked() noexcept
{
    // An exchange, not a load and a store: a signal set without the mutex
    // in between would be lost.
    if (f_manualReset) return isSignaledNow();
    if ((f_state.fetch_and(~kSignaled) & kSignaled) == 0) return false;
    if (f_fd) f_fd->clear();
    return true;
}

bool kelEvent::changeUnwatched(bool signaled) noexcept
{
    uint32_t s = f_state.load(std::memory_order_relaxed);
    for (;;) {
        if (s >= kWatcherOne) return false;
        const uint32_t next = signaled ? kSignaled : 0;
        if (s == next) return true;
        if (f_state.compare_exchange_weak(s, next)) return true;
    }
}

void kelEvent::setState(bool signaled) noexcept
{
    // Resetting an event that is not signalled changes nothing and orders
    // nothing: streams reset theirs on every read that empties them.
    if (!signaled && !isSignaledNow()) return;
    if (changeUnwatched(signaled)) return;
    // Almost always one waiter or none: kept on the stack, no allocation.
    constexpr size_t kInline = 4;
    std::array<std::shared_ptr<Waiter>, kInline> inlineWaiters;
    std::vector<std::shared_ptr<Waiter>> moreWaiters;
    size_t count = 0;
    {
        std::lock_guard lock(f_mutex);
        if (signaled)
            f_state.fetch_or(kSignaled);
        else
            f_state.fetch_and(~kSignaled);
        if (f_fd) {
            if (signaled)
                f_fd->raise();
            else
                f_fd->clear();
        }
        if (!signaled) return;
        // waitFor's sleepers are woken under the mutex: one of them may free
        // the event as soon as it sees the signal.
        if (f_manualReset)
            f_cond.notify_all();
        else
            f_cond.notify_one();
        count = f_waiters.size();
        if (count <= kInline) {
            std::copy(f_waiters.begin(), f_waiters.end(), inlineWaiters.begin());
        } else {
            try {
                moreWaiters = f_waiters;
            } catch (...) {
                // No memory for the copy: wake them here, under the mutex.
                for (const auto& w : f_waiters)
                    w->poke();
                return;
            }
        }
    }
    if (count <= kInline) {
        for (size_t i = 0; i < count; ++i)
            inlineWaiters[i]->poke();
    } else {
        for (const auto& w : moreWaiters)
            w->poke();
    }
}

bool kelEvent::setWithoutWaking() noexcept
{
    if (changeUnwatched(true)) return false;
    std::lock_guard lock(f_mutex);
    f_state.fetch_or(kSignaled);
    if (f_fd) f_fd->raise();
    return f_sleepers > 0 || !f_waiters.empty();
}

void kelEvent::wakeWaiters() noexcept
{
    std::lock_guard lock(f_mutex);
    if (f_manualReset)
        f_cond.notify_all();
    else
        f_cond.notify_one();
    for (const auto& w : f_waiters)
        w->poke();
}

bool kelEvent::waitFor(int64_t timeout) noexcept
{
    std::unique_lock lock(f_mutex);
    Clock::time_point deadline;
    const auto signaled = [this] { return isSignaledNow(); };
    ++f_sleepers;
    watch();
    if (!deadlineFor(timeout, deadline))
        f_cond.wait(lock, signaled);
    else
        (void)f_cond.wait_until(lock, deadline, signaled);
    --f_sleepers;
    unwatch();
    return takeLocked();
}

bool kelEvent::isSignaled() const noexcept
{
    std::lock_guard lock(f_mutex);
    return isSignaledNow();
}

void kelEvent::dropWaiter(const std::shared_ptr<Waiter>& waiter) noexcept
{
    std::lock_guard lock(f_mutex);
    const auto kept = std::remove(f_waiters.begin(), f_waiters.end(), waiter);
    const auto dropped = static_cast<uint32_t>(f_waiters.end() - kept);
    f_waiters.erase(kept, f_waiters.end());
    f_state.fetch_sub(dropped * kWatcherOne);
}

int kelEvent::pollFd() noexcept
{
    std::lock_guard lock(f_mutex);
    if (!f_fd) {
        f_fd = std::make_unique<kelEventFd>();
        watch();
        if (isSignaledNow()) f_fd->raise();
    }
    return f_fd->fd();
}

void kelEvent::releasePollFd() noexcept
{
    std::lock_guard lock(f_mutex);
    if (f_fd) unwatch();
    f_fd.reset();
}

intptr_t kelEvent::waitForAny(kelEvent* const* events, size_t count, int64_t timeout) noexcept
{
    if (!events || count == 0) return -1;
    Clock::time_point deadline;
    const bool limited = deadlineFor(timeout, deadline);

    // A thread waits on one set at a time, so it keeps its waiter from one
    // wait to the next. A waker of the last wait may still be about to poke
    // it: that poke only makes this wait look at its events once more.
    thread_local std::shared_ptr<Waiter> t_waiter;
    std::shared_ptr<Waiter> shared;
    try {
        if (!t_waiter) t_waiter = std::make_shared<Waiter>();
        shared = t_waiter;
        {
            std::lock_guard lock(shared->mutex);
            shared->poked = false;
        }
        for (size_t i = 0; i < count; ++i) {
            std::lock_guard lock(events[i]->f_mutex);
            events[i]->f_waiters.push_back(shared);
            events[i]->watch();
        }
    } catch (...) {
        for (size_t i = 0; shared && i < count; ++i) {
            events[i]->dropWaiter(shared);
        }
        return -1;
    }
    Waiter& waiter = *shared;
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
    for (size_t i = 0; i < count; ++i)
        events[i]->dropWaiter(shared);
    return fired;
}
