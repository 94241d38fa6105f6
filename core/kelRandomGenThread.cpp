#include "core/kelRandomGenThread.h"

#include "core/kelList.h"
#include "core/kelTick.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <time.h>

namespace {

// The high-resolution counter, in nanoseconds; 0 when there is none.
int64_t performanceCounter() noexcept
{
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC_RAW, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The standard pseudo-random generator, for when no gathered value is there.
uint32_t pseudoRandomBelow(uint32_t upperLimit) noexcept
{
    static std::mutex mutex;
    static std::mt19937 generator{std::random_device{}()};
    if (upperLimit <= 1) return 0;
    std::lock_guard lock(mutex);
    return std::uniform_int_distribution<uint32_t>(0, upperLimit - 1)(generator);
}

} // namespace

kelRandomGenThread::kelRandomGenThread(intptr_t aheadGenSize, bool active, intptr_t priority)
    : kelThread(active, priority), f_values(std::make_unique<kelList>(uldt_ptr, false)),
      f_aheadGenSize(aheadGenSize)
{}

kelRandomGenThread::~kelRandomGenThread() = default;

void kelRandomGenThread::startIn()
{
    f_timeMark = tickNow();
    f_waitTime = 0;
    f_waitTimeTotal = 0;
    f_pseudoFeeds = 0;
    f_nextValue = 0;
    f_nextValueBitsValid = 0;
}

intptr_t kelRandomGenThread::execute(uintptr_t)
{
    while (!shouldStop()) {
        if (f_values->count() >= f_aheadGenSize) {
            sleepThread(1000);
            continue;
        }
        sleepThread(7);
        const int64_t counter = performanceCounter();
        const uint64_t bits =
            counter > 0 ? static_cast<uint64_t>(counter - static_cast<int64_t>(f_timeMark.load())) & 3u : 0u;
        // Shift first, then add the new bits, so every pair of the value is
        // filled with gathered bits.
        f_nextValue = (f_nextValue << 2) | bits;
        f_nextValueBitsValid += 2;
        if (f_nextValueBitsValid >= f_nextValueBitsMax) {
            feed(f_nextValue);
            f_nextValue = 0;
            f_nextValueBitsValid = 0;
        }
    }
    return 0;
}

bool kelRandomGenThread::feed(uint64_t value) noexcept
{
    if (!f_values->lock(false, 300)) return false;
    bool added = false;
    if (f_values->count() < f_aheadGenSize)
        added = f_values->add(reinterpret_cast<void*>(static_cast<uintptr_t>(value))) >= 0;
    f_values->unlockWO();
    return added;
}

intptr_t kelRandomGenThread::valuesReady() const noexcept
{
    return f_values->count();
}

uint32_t kelRandomGenThread::random(uint32_t upperLimit, intptr_t maxTimeout) noexcept
{
    const uint64_t mark = tickNow();
    const intptr_t limit = maxTimeout < 0 ? 10000 : maxTimeout;
    bool have = false;
    uint32_t result = 0;
    {
        kelLock lock(this, false, limit);
        if (lock) {
            if (upperLimit > 1) {
                for (;;) {
                    if (f_values->count() > 0) break;
                    const kelThreadStatus st = status();
                    if (st != keltsRunning && st != keltsBeforeRunning) break;
                    const uint64_t spent = ticksSince(mark);
                    if (spent >= static_cast<uint64_t>(limit)) break;
                    const uint64_t step = std::min<uint64_t>(100, static_cast<uint64_t>(limit) - spent);
                    (void)f_values->waitForData(static_cast<int64_t>(step));
                }
                if (f_values->lock(false, 300)) {
                    if (f_values->count() > 0) {
                        const auto value =
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f_values->get(0)));
                        f_values->removeByIndex(0, 0);
                        // Scales into [0, upperLimit): never upperLimit itself.
                        result = static_cast<uint32_t>((static_cast<uint64_t>(value) * upperLimit) >> 32);
                        have = true;
                    }
                    f_values->unlockWO();
                }
                if (have) wakeUp();
            } else if (upperLimit == 1) {
                const int64_t counter = performanceCounter();
                result = static_cast<uint32_t>(
                    static_cast<uint64_t>(counter - static_cast<int64_t>(f_timeMark.load())) & 1u);
                have = true;
            } else {
                result = 0;
                have = true;
            }
        }
    }
    if (!have) {
        if (maxTimeout < 0) {
            result = 4294967295u;
        } else {
            result = pseudoRandomBelow(upperLimit);
            ++f_pseudoFeeds;
        }
    }
    f_waitTime = ticksSince(mark);
    f_waitTimeTotal += f_waitTime.load();
    return result;
}
