#include "platform/kelTimeApi.h"

#include "platform/kelMonotonic.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr uint32_t periodMin = 1;
constexpr uint32_t periodMax = 1000000;

std::mutex g_periodsMutex;
std::map<uint32_t, uint32_t> g_periods;

struct TimerEvent
{
    uint32_t id = 0;
    uint64_t periodUs = 0;
    bool periodic = false;
    kelTimeCallback callback = nullptr;
    uintptr_t user = 0;
    std::atomic<bool> killed{false};
    // The event's thread sleeps on this until its next deadline; a kill
    // wakes it at once, so it sleeps once per tick whatever the period.
    std::mutex sleepMutex;
    std::condition_variable sleeping;
    std::thread thread;

    // False when the event was killed before the deadline.
    bool sleepUntilUs(uint64_t deadlineUs) noexcept
    {
        const std::chrono::steady_clock::time_point at{std::chrono::microseconds(deadlineUs)};
        std::unique_lock lock(sleepMutex);
        return !sleeping.wait_until(lock, at, [this] { return killed.load(std::memory_order_acquire); });
    }

    void kill() noexcept
    {
        {
            std::lock_guard lock(sleepMutex);
            killed.store(true, std::memory_order_release);
        }
        sleeping.notify_all();
    }
};

std::mutex g_eventsMutex;
std::map<uint32_t, std::shared_ptr<TimerEvent>> g_events;
uint32_t g_nextId = 1;

void runEvent(std::shared_ptr<TimerEvent> event) noexcept
{
    const uint64_t startUs = kelMonotonicUs();
    for (uint64_t tick = 1; !event->killed.load(std::memory_order_acquire); ++tick) {
        // The steady clock is CLOCK_MONOTONIC, the clock of kelMonotonicUs.
        if (!event->sleepUntilUs(startUs + tick * event->periodUs)) {
            break;
        }
        try {
            event->callback(event->id, 0, event->user, 0, 0);
        } catch (...) {
            // A callback's exception must not end the timer or the process.
        }
        if (!event->periodic) {
            break;
        }
    }
    std::lock_guard lock(g_eventsMutex);
    const auto it = g_events.find(event->id);
    if (it != g_events.end() && it->second == event) {
        // A one-shot event that ran out: nobody will kill it, so it lets go
        // of its own thread.
        event->thread.detach();
        g_events.erase(it);
    }
}

} // namespace

MMRESULT timeGetDevCaps(TIMECAPS* caps, uint32_t capsSize) noexcept
{
    if (caps == nullptr || capsSize < sizeof(TIMECAPS)) {
        return TIMERR_NOCANDO;
    }
    caps->wPeriodMin = periodMin;
    caps->wPeriodMax = periodMax;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(uint32_t period) noexcept
{
    if (period < periodMin || period > periodMax) {
        return TIMERR_NOCANDO;
    }
    std::lock_guard lock(g_periodsMutex);
    ++g_periods[period];
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(uint32_t period) noexcept
{
    std::lock_guard lock(g_periodsMutex);
    const auto it = g_periods.find(period);
    if (it == g_periods.end()) {
        return TIMERR_NOCANDO;
    }
    if (--it->second == 0) {
        g_periods.erase(it);
    }
    return TIMERR_NOERROR;
}

uint32_t kelTimePeriodRequests(uint32_t period) noexcept
{
    std::lock_guard lock(g_periodsMutex);
    const auto it = g_periods.find(period);
    return it == g_periods.end() ? 0 : it->second;
}

uint32_t timeSetEvent(uint32_t delayMs, uint32_t resolutionMs, kelTimeCallback callback, uintptr_t user,
                      uint32_t flags) noexcept
{
    (void)resolutionMs; // deadlines are kept to the microsecond whatever is asked
    if (callback == nullptr || delayMs < periodMin || delayMs > periodMax) {
        return 0;
    }
    try {
        auto event = std::make_shared<TimerEvent>();
        event->periodUs = uint64_t(delayMs) * 1000u;
        event->periodic = (flags & TIME_PERIODIC) != 0;
        event->callback = callback;
        event->user = user;
        std::lock_guard lock(g_eventsMutex);
        do {
            event->id = g_nextId++;
        } while (event->id == 0 || g_events.count(event->id) != 0);
        event->thread = std::thread(runEvent, event);
        g_events[event->id] = event;
        return event->id;
    } catch (...) {
        return 0;
    }
}

MMRESULT timeKillEvent(uint32_t timerId) noexcept
{
    std::shared_ptr<TimerEvent> event;
    {
        std::lock_guard lock(g_eventsMutex);
        const auto it = g_events.find(timerId);
        if (it == g_events.end()) {
            return TIMERR_NOCANDO;
        }
        event = it->second;
        g_events.erase(it);
    }
    event->kill();
    if (event->thread.get_id() == std::this_thread::get_id()) {
        event->thread.detach();
    } else if (event->thread.joinable()) {
        event->thread.join();
    }
    return TIMERR_NOERROR;
}
