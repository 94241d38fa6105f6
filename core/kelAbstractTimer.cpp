#include "core/kelAbstractTimer.h"

#include "core/kelCreate.h"

namespace {

// The timer whose tick the calling thread is raising, if any.
thread_local const kelAbstractTimer* t_inTick = nullptr;

} // namespace

kelAbstractTimer::kelAbstractTimer(uintptr_t interval) : f_interval(interval) {}

kelAbstractTimer::~kelAbstractTimer() = default;

void kelAbstractTimer::beforeDestruction()
{
    stop();
}

bool kelAbstractTimer::onTickThread() const noexcept
{
    return t_inTick == this;
}

std::unique_lock<std::recursive_mutex> kelAbstractTimer::control() noexcept
{
    // A tick handler must not wait here: whoever holds the lock may be
    // waiting for this very tick to end. Its request is dropped instead.
    if (onTickThread()) return std::unique_lock<std::recursive_mutex>(f_control, std::try_to_lock);
    return std::unique_lock<std::recursive_mutex>(f_control);
}

void kelAbstractTimer::start() noexcept
{
    auto lock = control();
    if (!lock) return;
    if (!f_isRunning.load()) {
        bool running = false;
        try {
            running = doStart();
        } catch (...) {
            kelReportHookFailure("kelAbstractTimer::doStart");
        }
        f_isRunning = running;
    }
    if (f_isRunning.load() && f_isPaused.load()) resume();
}

void kelAbstractTimer::stop() noexcept
{
    auto lock = control();
    if (!lock) return;
    if (!f_isRunning.load()) return;
    try {
        doStop();
    } catch (...) {
        kelReportHookFailure("kelAbstractTimer::doStop");
    }
    f_isRunning = false;
}

void kelAbstractTimer::setInterval(uintptr_t value) noexcept
{
    auto lock = control();
    if (!lock) return;
    if (value == f_interval.load()) return;
    const bool wasRunning = isRunning();
    stop();
    try {
        changeInterval(value);
    } catch (...) {
        kelReportHookFailure("kelAbstractTimer::changeInterval");
    }
    f_interval = value;
    if (wasRunning) start();
}

void kelAbstractTimer::tick() noexcept
{
    if (f_isPaused.load()) return;
    if (!enter(static_cast<intptr_t>(f_interval.load() / 2))) return;
    const kelAbstractTimer* previous = t_inTick;
    t_inTick = this;
    try {
        doTimer();
    } catch (...) {
        kelReportHookFailure("kelAbstractTimer::doTimer");
    }
    try {
        if (f_onTimerEvent) f_onTimerEvent(this);
    } catch (...) {
        kelReportHookFailure("kelAbstractTimer::onTimer");
    }
    t_inTick = previous;
    leave();
}
