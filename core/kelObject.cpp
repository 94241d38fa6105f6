#include "core/kelObject.h"

#include "core/kelCheck.h"
#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

kelLockCounter s_staticCounter{0};
std::atomic<uint32_t> s_staticOwner{0};

// "Repeat while ticksSince(mark) is not greater than timeout": a negative
// timeout therefore never repeats.
bool timeLeft(uint64_t mark, intptr_t timeout) noexcept
{
    return static_cast<int64_t>(ticksSince(mark)) <= static_cast<int64_t>(timeout);
}

// The counters change only under the object's guard, so a plain load and
// store is enough; they stay atomic for the lock-free readers of the figures.
int64_t bumpUnderGuard(kelLockCounter& counter, int64_t delta) noexcept
{
    const int64_t value = counter.load(std::memory_order_relaxed) + delta;
    counter.store(value, std::memory_order_relaxed);
    return value;
}

// A sleep longer than this just looks again; it keeps the deadline
// arithmetic far from overflow for the longest timeouts.
constexpr int64_t kMaxSleepMs = 3600 * 1000;

int64_t steadyNowNs() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

kelObject::kelObject() noexcept = default;

kelObject::~kelObject()
{
    f_destroying = true;
#ifndef NDEBUG
    if (f_acqObj[kWrite].load() > 0 || f_acqObj[kRead].load() > 0)
        logFailuref("kelObject %p destroyed while its lock is held (write %lld, read %lld)",
                    static_cast<void*>(this), static_cast<long long>(f_acqObj[kWrite].load()),
                    static_cast<long long>(f_acqObj[kRead].load()));
#endif
}

intptr_t kelObject::ownerEntries() const noexcept
{
    std::lock_guard guard(f_pwnThreadGuard);
    intptr_t used = 0;
    for (intptr_t i = 0; i < f_pwnThreadCount; ++i)
        if (f_pwnThreadID[static_cast<size_t>(i)] != 0) ++used;
    return used;
}

int64_t kelObject::staticCount() noexcept
{
    return s_staticCounter.load();
}

// --- owner entries --------------------------------------------------------

void kelObject::recordOwner(uint32_t id, bool ro)
{
    intptr_t slot = -1;
    for (intptr_t i = f_pwnThreadCount - 1; i >= 0; --i) {
        const uint32_t holder = f_pwnThreadID[static_cast<size_t>(i)];
        if (holder == 0) {
            slot = i;
            break;
        }
        if (holder == id) break; // a newer entry of ours must come after this one
    }
    if (slot < 0) {
        slot = f_pwnThreadCount++;
        if (f_pwnThreadCount > f_pwnThreadMax) {
            f_pwnThreadMax = f_pwnThreadCount;
            f_pwnThreadID.resize(static_cast<size_t>(f_pwnThreadMax), 0);
            f_pwnThreadOp.resize(static_cast<size_t>(f_pwnThreadMax), 0);
        }
    }
    f_pwnThreadID[static_cast<size_t>(slot)] = id;
    f_pwnThreadOp[static_cast<size_t>(slot)] = ro ? 1 : 0;
}

bool kelObject::findOwner(uint32_t id, bool soleOwner, bool clear, bool* ro) noexcept
{
    while (f_pwnThreadCount > 0 && f_pwnThreadID[static_cast<size_t>(f_pwnThreadCount - 1)] == 0)
        --f_pwnThreadCount;
    intptr_t found = -1;
    for (intptr_t i = f_pwnThreadCount - 1; i >= 0; --i) {
        if (f_pwnThreadID[static_cast<size_t>(i)] == id) {
            found = i;
            break;
        }
    }
    if (found < 0) return false;
    if (soleOwner) {
        for (intptr_t i = 0; i < f_pwnThreadCount; ++i) {
            const uint32_t holder = f_pwnThreadID[static_cast<size_t>(i)];
            if (holder != 0 && holder != id) return false;
        }
    }
    if (ro) *ro = f_pwnThreadOp[static_cast<size_t>(found)] != 0;
    if (clear) {
        f_pwnThreadID[static_cast<size_t>(found)] = 0;
        if (found == f_pwnThreadCount - 1) --f_pwnThreadCount;
    }
    return true;
}

// --- acquisition -----------------------------------------------------------

bool kelObject::acquire(bool ro, intptr_t timeout, bool fsn) noexcept
{
    if (fsn) return acquireStaticLock(timeout);
    const uint32_t id = kelCurrentThreadId();
    if (ro ? tryRead(id) : tryWrite(id)) return true;
    return acquireWaiting(ro, id, timeout);
}

void kelObject::acquire(bool ro) noexcept
{
    std::lock_guard guard(f_pwnThreadGuard);
    bumpUnderGuard(f_acqObj[ro ? kRead : kWrite], 1);
}

// A reader gets in unless another thread writes, or another thread has
// claimed the right to write and the reader does not hold the lock already
// (a holder nesting a read must not wait for a writer that waits for it).
bool kelObject::tryRead(uint32_t id) noexcept
{
    std::lock_guard guard(f_pwnThreadGuard);
    const uint32_t claimant = f_woEnterThreadID.load(std::memory_order_relaxed);
    const bool writing = f_acqObj[kWrite].load(std::memory_order_relaxed) != 0;
    if (writing || (claimant != 0 && claimant != id)) {
        const bool soleOwner = findOwner(id, true, false, nullptr);
        if (writing && !soleOwner) return false;
        if (!writing && !soleOwner && !findOwner(id, false, false, nullptr)) return false;
    }
    bumpUnderGuard(f_acqObj[kRead], 1);
    recordOwner(id, true);
    return true;
}

// A writer needs to be the only owner or to find the object unowned, and the
// claim to enter must be free or its own. While it waits it keeps the claim,
// which holds off new readers of other threads until it got in or gave up.
bool kelObject::tryWrite(uint32_t id) noexcept
{
    std::lock_guard guard(f_pwnThreadGuard);
    const uint32_t claimant = f_woEnterThreadID.load(std::memory_order_relaxed);
    const bool soleOwner = findOwner(id, true, false, nullptr);
    if (claimant != 0 && claimant != id && !soleOwner) return false;
    const bool unowned = f_pwnThreadCount == 0 && f_acqObj[kWrite].load(std::memory_order_relaxed) == 0 &&
                         f_acqObj[kRead].load(std::memory_order_relaxed) == 0;
    if (!soleOwner && !unowned) {
        if (claimant == 0) f_woEnterThreadID.store(id, std::memory_order_relaxed);
        return false;
    }
    bumpUnderGuard(f_acqObj[kWrite], 1);
    recordOwner(id, false);
    if (claimant == id) f_woEnterThreadID.store(0, std::memory_order_relaxed);
    return true;
}

void kelObject::dropClaim(uint32_t id) noexcept
{
    bool wake = false;
    {
        std::lock_guard guard(f_pwnThreadGuard);
        if (f_woEnterThreadID.load(std::memory_order_relaxed) == id) {
            f_woEnterThreadID.store(0, std::memory_order_relaxed);
            wake = noteRelease();
        }
    }
    if (wake) wakeSleepers();
}

// "Repeat while ticksSince(mark) is not greater than timeout": a negative
// timeout makes no second attempt, 0 makes the attempts that fit before the
// tick advances.
bool kelObject::acquireWaiting(bool ro, uint32_t id, intptr_t timeout) noexcept
{
    if (timeout < 0) {
        if (!ro) dropClaim(id);
        return false;
    }
    const uint64_t mark = tickNow();
    for (;;) {
        uint32_t seen;
        {
            std::lock_guard guard(f_pwnThreadGuard);
            ++f_sleepers;
            seen = f_releaseSeq.load(std::memory_order_relaxed);
        }
        bool taken = ro ? tryRead(id) : tryWrite(id);
        if (!taken && timeLeft(mark, timeout)) {
            // Sleep until just past the tick at which the timeout runs out.
            const int64_t left = std::min<int64_t>(
                static_cast<int64_t>(timeout) + 1 - static_cast<int64_t>(ticksSince(mark)), kMaxSleepMs);
            waitForRelease(seen, steadyNowNs() + left * 1000000);
        }
        {
            std::lock_guard guard(f_pwnThreadGuard);
            --f_sleepers;
        }
        if (!taken && !timeLeft(mark, timeout) && !ro) dropClaim(id);
        if (taken) return true;
        if (!timeLeft(mark, timeout)) return false;
    }
}

// The sleepers of every object share a few condition variables, chosen by
// the object's address: an object costs no kernel object of its own, and a
// sleeper woken for a neighbour just looks again.
namespace {

struct alignas(64) SleepBucket
{
    std::mutex mutex;
    std::condition_variable cond;
};

SleepBucket& bucketOf(const void* obj) noexcept
{
    static SleepBucket buckets[64];
    const auto key = reinterpret_cast<uintptr_t>(obj);
    return buckets[(key >> 6 ^ key >> 12) % 64];
}

} // namespace

void kelObject::waitForRelease(uint32_t seen, int64_t deadlineNs) noexcept
{
    SleepBucket& bucket = bucketOf(this);
    const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
    std::unique_lock lock(bucket.mutex);
    while (f_releaseSeq.load() == seen)
        if (bucket.cond.wait_until(lock, deadline) == std::cv_status::timeout) return;
}

bool kelObject::noteRelease() noexcept
{
    if (f_sleepers == 0) return false;
    f_releaseSeq.fetch_add(1);
    return true;
}

void kelObject::wakeSleepers() noexcept
{
    SleepBucket& bucket = bucketOf(this);
    // Taking the bucket's mutex orders the new release count before the
    // sleeper's look at it, so the notification cannot fall between its look
    // and its wait.
    {
        std::lock_guard lock(bucket.mutex);
    }
    bucket.cond.notify_all();
}

// --- release ---------------------------------------------------------------

bool kelObject::releaseNewest() noexcept
{
    bool reachedZero = false;
    bool wake = false;
    {
        std::lock_guard guard(f_pwnThreadGuard);
        bool ro = false;
        if (!findOwner(kelCurrentThreadId(), false, true, &ro)) {
            KEL_DCHECK(!"kelObject released by a thread that does not hold it");
            return false;
        }
        reachedZero = bumpUnderGuard(f_acqObj[ro ? kRead : kWrite], -1) == 0;
        wake = noteRelease();
    }
    if (wake) wakeSleepers();
    return reachedZero;
}

bool kelObject::releaseRO() noexcept
{
    return releaseNewest();
}

bool kelObject::releaseWO() noexcept
{
    return releaseNewest();
}

// --- static lock -----------------------------------------------------------

bool kelObject::acquireStaticLock(intptr_t timeout) noexcept
{
    if (!acquireCounter(s_staticCounter, timeout)) return false;
    uint32_t none = 0;
    s_staticOwner.compare_exchange_strong(none, kelCurrentThreadId());
    return true;
}

bool kelObject::acquireStatic(intptr_t timeout) noexcept
{
    return acquireStaticLock(timeout);
}

void kelObject::acquireStatic() noexcept
{
    s_staticCounter.fetch_add(1);
    uint32_t none = 0;
    s_staticOwner.compare_exchange_strong(none, kelCurrentThreadId());
}

bool kelObject::releseStatic() noexcept
{
    if (!releaseCounter(s_staticCounter)) return false;
    uint32_t self = kelCurrentThreadId();
    s_staticOwner.compare_exchange_strong(self, 0);
    return true;
}

bool kelObject::acquireOf(kelObject* obj, bool ro, intptr_t timeout, bool fsn) noexcept
{
    return obj ? obj->acquire(ro, timeout, fsn) : acquireStaticLock(timeout);
}

void kelObject::acquireOf(kelObject* obj, bool ro) noexcept
{
    if (obj)
        obj->acquire(ro);
    else
        acquireStatic();
}

bool kelObject::releaseOf(kelObject* obj) noexcept
{
    return obj ? obj->releaseNewest() : releseStatic();
}

// --- create / free ---------------------------------------------------------

void kelReportHookFailure(const char* where) noexcept
{
    logCaught(where);
}

void kelFree(kelObject* obj) noexcept
{
    if (!obj) return;
    obj->f_destroying = true;
    try {
        obj->beforeDestruction();
    } catch (...) {
        kelReportHookFailure("beforeDestruction");
    }
    delete obj;
}
