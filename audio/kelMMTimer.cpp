#include "audio/kelMMTimer.h"

#include <algorithm>
#include <limits>

namespace {

// Ticks further behind than this on the monotonic clock (a stalled machine)
// are dropped and the schedule restarts from the present, instead of
// arriving as a burst. A manual clock is never dropped: its owner moves it
// on purpose and expects every tick of the time it advanced.
constexpr uint64_t maxLagUs = 1000000;

// The resolution every period asks of the platform.
constexpr uint32_t resolutionRequest = 1;

uintptr_t roundedPeriod(uintptr_t rate) noexcept
{
    return std::max<uintptr_t>(1, 1000 / rate);
}

} // namespace

kelMMTimer::kelMMTimer(uintptr_t interval, uintptr_t minPeriod)
    : kelAbstractTimer(interval), f_minPeriod(minPeriod)
{
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR) f_caps = caps;
    storePeriod(interval);
}

kelMMTimer::~kelMMTimer()
{
    // kelFree stops the timer first; this only guards a timer freed some
    // other way, so the platform never calls into a dead object.
    if (const uint32_t id = f_timeEvent.exchange(0); id != 0) timeKillEvent(id);
    if (f_resolutionHeld) timeEndPeriod(resolutionRequest);
}

void kelMMTimer::setTicksPerSecond(uintptr_t rate) noexcept
{
    const bool wasRunning = isRunning();
    stop();
    f_rate = rate;
    if (rate != 0) setInterval(roundedPeriod(rate));
    if (wasRunning) start();
}

void kelMMTimer::storePeriod(uintptr_t interval) noexcept
{
    uintptr_t period = f_minPeriod != 0 ? f_minPeriod : interval / 10;
    period = std::max<uintptr_t>(period, f_caps.wPeriodMin);
    // One request stands for the stored period; it is renewed when the
    // period changes and so stays paired with exactly one end.
    if (period != f_lastMinPeriod.load() || !f_resolutionHeld) {
        if (f_resolutionHeld) timeEndPeriod(resolutionRequest);
        f_resolutionHeld = timeBeginPeriod(resolutionRequest) == TIMERR_NOERROR;
    }
    f_lastMinPeriod = period;
}

void kelMMTimer::changeInterval(uintptr_t& interval)
{
    const uintptr_t rate = f_rate.load();
    if (rate != 0 && interval != roundedPeriod(rate)) f_rate = 0;
    storePeriod(interval);
}

bool kelMMTimer::keepsOwnDeadlines() const noexcept
{
    const uintptr_t rate = f_rate.load();
    return (rate != 0 && 1000 % rate != 0) || &f_clock.get() != &kelClock::system();
}

bool kelMMTimer::doStart()
{
    const uintptr_t period = interval();
    if (period == 0 || period > std::numeric_limits<uint32_t>::max()) return false;
    f_stopping = false;
    uint32_t delay = uint32_t(period);
    f_ownDeadlines = keepsOwnDeadlines();
    if (f_ownDeadlines) {
        const uintptr_t rate = f_rate.load();
        f_stepNum = rate != 0 ? 1000000u : uint64_t(period) * 1000u;
        f_stepDen = rate != 0 ? rate : 1;
        f_dropsLag = &f_clock.get() == &kelClock::system();
        f_startUs = f_clock.nowUs();
        f_deadlineIndex = 0;
        // Checked every stored period: a tick is at most that late.
        delay = uint32_t(std::clamp<uintptr_t>(f_lastMinPeriod.load(), 1, period));
    }
    const uint32_t id =
        timeSetEvent(delay, 0, &kelMMTimer::onTimeEvent, reinterpret_cast<uintptr_t>(this), TIME_PERIODIC);
    f_timeEvent = id;
    return id != 0;
}

void kelMMTimer::doStop()
{
    f_stopping = true;
    if (const uint32_t id = f_timeEvent.exchange(0); id != 0) timeKillEvent(id);
}

void kelMMTimer::doTimer()
{
    f_ticks.fetch_add(1);
}

void kelMMTimer::onTimeEvent(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t)
{
    reinterpret_cast<kelMMTimer*>(user)->serviceEvent();
}

void kelMMTimer::serviceEvent() noexcept
{
    if (!f_ownDeadlines) {
        tick();
        return;
    }
    const uint64_t now = f_clock.nowUs();
    auto deadline = [this](uint64_t n) { return f_startUs + n * f_stepNum / f_stepDen; };
    if (f_dropsLag && now > deadline(f_deadlineIndex + 1) + maxLagUs) {
        f_startUs = now;
        f_deadlineIndex = 0;
        return;
    }
    while (!f_stopping.load() && now >= deadline(f_deadlineIndex + 1)) {
        ++f_deadlineIndex;
        tick();
    }
}
