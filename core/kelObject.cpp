#include "core/kelObject.h"

#include "core/kelCheck.h"
#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "platform/kelPlatformThread.h"

namespace {

kelLockCounter s_staticCounter{0};
std::atomic<uint32_t> s_staticOwner{0};

// "Repeat while ticksSince(mark) is not greater than timeout": a negative
// timeout therefore never repeats.
bool timeLeft(uint64_t mark, intptr_t timeout) noexcept
{
    return static_cast<int64_t>(ticksSince(mark)) <= static_cast<int64_t>(timeout);
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

// Nesting by the sole owner, an immediate failure while others hold entries,
// else acquireCounter. The guard is dropped only while sleeping between
// attempts, so a successful attempt and the owner record the caller makes
// next happen under one hold.
bool kelObject::reentrantTake(int index, uint32_t id, intptr_t timeout,
                              std::unique_lock<std::mutex>& guard) noexcept
{
    if (findOwner(id, true, false, nullptr)) {
        f_acqObj[index].fetch_add(1);
        return true;
    }
    if (f_pwnThreadCount >= 1) return false;
    if (tryAcquireCounter(f_acqObj[index])) return true;
    const uint64_t t =
        timeout < 0 ? static_cast<uint64_t>(-(timeout + 1)) + 1 : static_cast<uint64_t>(timeout);
    if (t == 0) return false;
    const uint64_t mark = tickNow();
    const auto pause = static_cast<uint32_t>(t / 256 + 1);
    for (;;) {
        guard.unlock();
        kelSleepMs(pause);
        guard.lock();
        if (ticksSince(mark) > t) return false;
        if (tryAcquireCounter(f_acqObj[index])) return true;
    }
}

// --- acquisition -----------------------------------------------------------

bool kelObject::acquire(bool ro, intptr_t timeout, bool fsn) noexcept
{
    if (fsn) return acquireStaticLock(timeout);
    const uint32_t id = kelCurrentThreadId();
    return ro ? acquireRead(id, timeout) : acquireWrite(id, timeout);
}

void kelObject::acquire(bool ro) noexcept
{
    f_acqObj[ro ? kRead : kWrite].fetch_add(1);
}

bool kelObject::acquireRead(uint32_t id, intptr_t timeout) noexcept
{
    uint64_t mark = 0;
    for (bool first = true;; first = false) {
        const uint32_t claimant = f_woEnterThreadID.load();
        if (claimant == 0 || claimant == id) {
            std::unique_lock guard(f_pwnThreadGuard);
            acquire(true);
            bool taken = tryAcquireCounter(f_acqObj[kWrite]);
            if (!taken) taken = reentrantTake(kWrite, id, 1, guard);
            if (taken) {
                recordOwner(id, true);
                releaseCounter(f_acqObj[kWrite]);
                return true;
            }
            releaseCounter(f_acqObj[kRead]);
        }
        if (first) mark = tickNow();
        kelSleepMs(1);
        if (!timeLeft(mark, timeout)) return false;
    }
}

bool kelObject::tryAcquireWrite(uint32_t id, intptr_t wait) noexcept
{
    uint32_t expected = 0;
    f_woEnterThreadID.compare_exchange_strong(expected, id);
    if (f_woEnterThreadID.load() != id) return false;
    std::unique_lock guard(f_pwnThreadGuard);
    if (reentrantTake(kWrite, id, wait, guard)) {
        if (reentrantTake(kRead, id, 0, guard)) {
            recordOwner(id, false);
            releaseCounter(f_acqObj[kRead]);
            f_woEnterThreadID = 0;
            return true;
        }
        releaseCounter(f_acqObj[kWrite]);
    }
    f_woEnterThreadID = 0;
    return false;
}

bool kelObject::acquireWrite(uint32_t id, intptr_t timeout) noexcept
{
    // One attempt without waiting first: an uncontended acquisition then
    // never reads the clock.
    if (tryAcquireWrite(id, 0)) return true;
    const uint64_t mark = tickNow();
    const intptr_t half = timeout < 0 ? 0 : timeout / 2;
    for (;;) {
        if (tryAcquireWrite(id, half)) return true;
        kelSleepMs(1);
        if (!timeLeft(mark, timeout)) return false;
    }
}

// --- release ---------------------------------------------------------------

bool kelObject::releaseNewest() noexcept
{
    bool ro = false;
    {
        std::lock_guard guard(f_pwnThreadGuard);
        if (!findOwner(kelCurrentThreadId(), false, true, &ro)) {
            KEL_DCHECK(!"kelObject released by a thread that does not hold it");
            return false;
        }
    }
    return releaseCounter(f_acqObj[ro ? kRead : kWrite]);
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
