#pragma once
// kelAbstractTimer: the base of periodic timers. A subclass supplies the time
// source (doStart / doStop) and calls tick() from it once per interval; tick()
// raises doTimer() and then onTimer, under the timer's own read lock, so a
// caller holding the timer's write lock (enter/leave are read-only; use
// acquire(false, ...) for that) keeps ticks out.
//
// start(), stop(), pause(), resume() and the interval setter may be called
// from any thread, onTimer handlers included; a handler's call is dropped
// while another thread is starting, stopping or retiming the timer (that
// thread may be waiting for the tick to end). Make the timer with kelCreate
// and free it with kelFree (not from inside onTimer): destruction stops it
// while the subclass is still whole.

#include "core/kelObject.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class kelAbstractTimer;

// Raised on the time source's thread with the timer as sender.
using kelOnTimerEvent = std::function<void(kelAbstractTimer* sender)>;

class kelAbstractTimer : public kelObject
{
public:
    explicit kelAbstractTimer(uintptr_t interval);
    ~kelAbstractTimer() override;

    uintptr_t interval() const noexcept { return f_interval.load(); }
    // A different value restarts a running timer with the new interval.
    void setInterval(uintptr_t value) noexcept;
    // Set while the timer is stopped; the time source's thread reads it.
    void setOnTimer(kelOnTimerEvent handler) { f_onTimerEvent = std::move(handler); }
    const kelOnTimerEvent& onTimer() const noexcept { return f_onTimerEvent; }

    void start() noexcept;
    void stop() noexcept;
    // Ticks are skipped while paused; the time source keeps running.
    void pause() noexcept { f_isPaused = true; }
    void resume() noexcept { f_isPaused = false; }
    bool isRunning() const noexcept { return f_isRunning.load(); }
    bool isPaused() const noexcept { return f_isPaused.load(); }

    // The timer's lock, read-only.
    [[nodiscard]] bool enter(intptr_t timeout) noexcept { return acquire(true, timeout); }
    void leave() noexcept { releaseRO(); }

    kelString _classID() const override { return u"kelAbstractTimer"; }

protected:
    // Called by the time source once per interval, on its own thread.
    void tick() noexcept;

    // Called on each tick before onTimer.
    virtual void doTimer() {}
    // May adjust a new interval in place before it is stored.
    virtual void changeInterval(uintptr_t& interval) { (void)interval; }
    // Starts the time source; true when it runs.
    virtual bool doStart() = 0;
    virtual void doStop() = 0;

    void beforeDestruction() override;

private:
    bool onTickThread() const noexcept;
    std::unique_lock<std::recursive_mutex> control() noexcept;

    std::atomic<uintptr_t> f_interval;
    std::atomic<bool> f_isRunning{false};
    std::atomic<bool> f_isPaused{false};
    kelOnTimerEvent f_onTimerEvent;
    // Serialises start, stop and interval changes.
    std::recursive_mutex f_control;
};
