#include "core/kelTick.h"

#include "platform/kelMonotonic.h"
#include "platform/kelPlatformThread.h"

#include <cstdlib>

uint64_t tickNow() noexcept
{
    return kelMonotonicMs();
}

uint64_t ticksSince(uint64_t mark) noexcept
{
    const uint64_t now = tickNow();
    return now > mark ? now - mark : 0;
}

bool tryAcquireCounter(kelLockCounter& counter) noexcept
{
    if (counter.fetch_add(1) + 1 == 1) return true;
    counter.fetch_sub(1);
    return false;
}

bool acquireCounter(kelLockCounter& counter, intptr_t timeout) noexcept
{
    const uint64_t t =
        timeout < 0 ? static_cast<uint64_t>(-(timeout + 1)) + 1 : static_cast<uint64_t>(timeout);
    if (tryAcquireCounter(counter)) return true;
    if (t == 0) return false;
    const uint64_t mark = tickNow();
    const uint32_t pause = static_cast<uint32_t>(t / 256 + 1);
    for (;;) {
        kelSleepMs(pause);
        if (ticksSince(mark) > t) return false;
        if (tryAcquireCounter(counter)) return true;
    }
}

bool releaseCounter(kelLockCounter& counter) noexcept
{
    return counter.fetch_sub(1) - 1 == 0;
}
