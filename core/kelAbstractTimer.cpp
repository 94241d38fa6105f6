#include "core/kelAbstractTimer.h"

#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"

kelAbstractTimer::kelAbstractTimer(uintptr_t interval) : f_interval(interval) {}

kelAbstractTimer::~kelAbstractTimer() = default;

void kelAbstractTimer::beforeDestruction()
{
    stop();
}

bool kelAbstractTimer::onTickThread() const noexcept
{
    return f_tickThread.load() == kelCurrentThreadId();
}

void kelAbstractTimer::start() noexcept
{
    std::unique_lock<std::recursive_mutex> lock(f_control, std::defer_lock);
    if (!onTickThread()) lock.lock();
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
    std::unique_lock<std::recursive_mutex> lock(f_control, std::defer_lock);
    if (!onTickThread()) lock.lock();
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
    std::unique_lock<std::recursive_mutex> lock(f_control, std::defer_lock);
    if (!onTickThread()) lock.lock();
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
    const uint32_t previous = f_tickThread.exchange(kelCurrentThreadId());
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
    f_tickThread = previous;
    leave();
}
