#include "tests/support/kelTestWait.h"

#include "core/kelClock.h"
#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"

bool kelTestWaitUntil(const std::function<bool()>& condition, uint64_t timeoutMs)
{
    const uint64_t start = tickNow();
    while (!condition()) {
        if (ticksSince(start) > timeoutMs) return condition();
        kelSleepMs(2);
    }
    return true;
}

bool kelTestAdvanceUntil(kelManualClock& clock, const std::function<bool()>& condition, uint64_t maxMs,
                         uint64_t stepMs, uint64_t tickWaitMs)
{
    for (uint64_t moved = 0; !condition(); moved += stepMs) {
        if (moved >= maxMs) return false;
        clock.advanceMs(stepMs);
        if (kelTestWaitUntil(condition, tickWaitMs)) return true;
    }
    return true;
}
