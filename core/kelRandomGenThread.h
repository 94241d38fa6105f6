#pragma once
// kelRandomGenThread: a thread that gathers random bits from the jitter of
// its own sleeps (two low bits of the high-resolution clock per 7 ms sleep)
// and keeps up to `aheadGenSize` 64-bit values ready for random().
//
// random() may be called from any thread; feed() by the generator or by code
// that has entropy of its own. Make it with kelCreate and free it with kelFree.

#include "core/kelThread.h"

#include <cstdint>
#include <memory>

class kelList;

class kelRandomGenThread : public kelThread
{
public:
    kelRandomGenThread(intptr_t aheadGenSize, bool active, intptr_t priority = kelThreadPriorityNormal);
    ~kelRandomGenThread() override;

    // A value in [0, upperLimit) for upperLimit above 1, drawn from the
    // gathered values. Waits up to `maxTimeout` ms (negative: 10000) for one
    // while the generator runs. When none can be had: 4294967295 for a
    // negative `maxTimeout`, else a value of the standard pseudo-random
    // generator (counted in pseudoFeeds). upperLimit 1 gives one clock bit,
    // 0 gives 0.
    uint32_t random(uint32_t upperLimit, intptr_t maxTimeout) noexcept;
    // Queues a value when fewer than aheadGenSize are queued.
    bool feed(uint64_t value) noexcept;

    intptr_t valuesReady() const noexcept;
    // Milliseconds the last random() call took, and their running total.
    uint64_t waitTime() const noexcept { return f_waitTime.load(); }
    uint64_t waitTimeTotal() const noexcept { return f_waitTimeTotal.load(); }
    uint64_t pseudoFeeds() const noexcept { return f_pseudoFeeds.load(); }

    kelString _classID() const override { return u"kelRandomGenThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void startIn() override;

private:
    uint64_t f_nextValue = 0;
    uint32_t f_nextValueBitsValid = 0;
    const uint32_t f_nextValueBitsMax = 64;
    std::atomic<uint64_t> f_timeMark{0};
    std::atomic<uint64_t> f_waitTime{0};
    std::atomic<uint64_t> f_waitTimeTotal{0};
    std::atomic<uint64_t> f_pseudoFeeds{0};
    std::unique_ptr<kelList> f_values;
    intptr_t f_aheadGenSize;
};
