#pragma once
// Bounded waits for the core tests: poll a condition every millisecond.

#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"

#include <functional>

inline bool waitUntil(const std::function<bool()>& condition, uint64_t timeoutMs = 10000)
{
    const uint64_t mark = tickNow();
    while (!condition()) {
        if (ticksSince(mark) > timeoutMs) return false;
        kelSleepMs(1);
    }
    return true;
}
