#include "core/kelObject.h"

#include "core/kelCheck.h"
#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "platform/kelFutex.h"
#include "platform/kelOnlyThread.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

kelLockCounter s_staticCounter{0};
std::atomic<uint32_t> s_staticOwner{0};

// The object's state word: read holds in the low bits, write holds above
// them (both with nested ones), a wake count, then four flags. The claim of a
// waiting writer keeps new readers out; the sleepers' flags (one per class of
// sleeper) ask the next change that may let such a sleeper in to wake it.
// Sleepers sleep on the high half of the word, where the wake count lives: a
// release that wakes bumps the count in the same exchange that drops its
// hold, so a thread about to sleep either sees the change or is asleep before
// the wake comes, and the release touches nothing of the object once its hold
// is gone. A hold count cannot reach its field's end: that would take 2^20
// nested write holds or 2^28 read holds.
constexpr int kWriteShift = 28;
constexpr uint64_t kReadOne = 1;
constexpr uint64_t kWriteOne = uint64_t{1} << kWriteShift;
constexpr uint64_t kReadMask = kWriteOne - 1;
constexpr uint64_t kWriteMask = (uint64_t{1} << 48) - kWriteOne;
constexpr uint64_t kWakeOne = uint64_t{1} << 48;
constexpr uint64_t kWakeMask = (uint64_t{1} << 60) - kWakeOne;
constexpr uint64_t kUpgraderSleepers = uint64_t{1} << 60;
constexpr uint64_t kClaim = uint64_t{1} << 61;
constexpr uint64_t kReaderSleepers = uint64_t{1} << 62;
constexpr uint64_t kWriterSleepers = uint64_t{1} << 63;
constexpr uint64_t kAnySleepers = kReaderSleepers | kWriterSleepers | kUpgraderSleepers;

// The classes of sleepers, so that a wake reaches only those it can let in:
// readers, writers, and readers waiting to become writers (who wait for the
// other readers to leave, not for the lock to be free).
constexpr uint32_t kReaderClass = 1;
constexpr uint32_t kWriterClass = 2;
constexpr uint32_t kUpgraderClass = 4;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "sleepers sleep on the high half at offset 4");

uint64_t nextWake(uint64_t state) noexcept
{
    return (state & ~kWakeMask) | ((state + kWakeOne) & kWakeMask);
}

int64_t readsOf(uint64_t state) noexcept
{
    return static_cast<int64_t>(state & kReadMask);
}

int64_t writesOf(uint64_t state) noexcept
{
    return static_cast<int64_t>((state & kWriteMask) >> kWriteShift);
}

// "Repeat while ticksSince(mark) is not greater than timeout": a negative
// timeout therefore never repeats.
bool timeLeft(uint64_t mark, intptr_t timeout) noexcept
{
    return static_cast<int64_t>(ticksSince(mark)) <= static_cast<int64_t>(timeout);
}

// A sleep longer than this just looks again.
constexpr int64_t kMaxSleepMs = 3600 * 1000;

// Looks at the state this many times before sleeping: a holder about to let
// go usually does so sooner than a sleep and a wake-up take.
constexpr int kSpins = 64;

inline void cpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// --- the calling thread's records ----------------------------------------------

struct Hold
{
    const kelObject* obj;
    bool ro;
};

// The holds of one thread, oldest first. Plain data, so the thread-local
// needs no constructor or destructor on the fast path; nesting deeper than
// the inline entries moves them to the heap.
struct Holds
{
    static constexpr uint32_t kInline = 16;
    Hold inlineHolds[kInline];
    Hold* heap;
    uint32_t count;
    uint32_t heapCapacity;

    Hold* data() noexcept { return heap ? heap : inlineHolds; }
    uint32_t capacity() const noexcept { return heap ? heapCapacity : kInline; }
};

thread_local Holds t_holds{};

// Frees the heap entries when a thread that needed them ends. Records that
// still fit move back inline, for a lock released by a later thread-local
// destructor of the same thread.
struct HeapHoldsFreer
{
    HeapHoldsFreer() = default;
    HeapHoldsFreer(const HeapHoldsFreer&) = delete;
    HeapHoldsFreer& operator=(const HeapHoldsFreer&) = delete;
    ~HeapHoldsFreer()
    {
        Holds& h = t_holds;
        if (!h.heap) return;
        if (h.count <= Holds::kInline)
            std::memcpy(h.inlineHolds, h.heap, h.count * sizeof(Hold));
        else
            h.count = 0; // the thread ends holding more than fits: those holds stay unreleased
        std::free(h.heap);
        h.heap = nullptr;
        h.heapCapacity = 0;
    }
};

// Room for one more record; false when memory ran out.
[[gnu::noinline]] bool growHolds(Holds& h) noexcept;

inline bool makeRoom(Holds& h) noexcept
{
    return h.count < h.capacity() || growHolds(h);
}

bool growHolds(Holds& h) noexcept
{
    const uint32_t capacity = h.capacity() * 2;
    auto* grown = static_cast<Hold*>(std::malloc(capacity * sizeof(Hold)));
    if (!grown) return false;
    std::memcpy(grown, h.data(), h.count * sizeof(Hold));
    if (!h.heap) {
        thread_local HeapHoldsFreer freer; // constructed here, destroyed when the thread ends
        (void)freer;
    }
    std::free(h.heap);
    h.heap = grown;
    h.heapCapacity = capacity;
    return true;
}

struct Mine
{
    int64_t reads = 0;
    int64_t writes = 0;
};

Mine holdsOf(Holds& h, const kelObject* obj) noexcept
{
    Mine mine;
    const Hold* d = h.data();
    for (uint32_t i = 0; i < h.count; ++i)
        if (d[i].obj == obj) ++(d[i].ro ? mine.reads : mine.writes);
    return mine;
}

// --- static lock -----------------------------------------------------------------

bool acquireStaticLock(intptr_t timeout) noexcept
{
    if (!acquireCounter(s_staticCounter, timeout)) return false;
    uint32_t none = 0;
    s_staticOwner.compare_exchange_strong(none, kelCurrentThreadId());
    return true;
}

} // namespace

// The uncontended paths are inlined into the entry points, as they run on
// every acquisition and release; waiting stays out of line.
struct kelObject::Ops
{
    // Whether a thread with holds `mine`, and not already entitled by them,
    // may take the lock in state `s`. A reader stays out while another
    // thread writes or a writer claims; a writer needs the object unowned and
    // the claim free or its own (`claimed`); an upgrading reader needs to be
    // the only holder, and then passes any claim.
    static bool canTake(uint64_t s, bool ro, const Mine& mine, bool claimed) noexcept
    {
        if (!ro && mine.reads > 0) return writesOf(s) == 0 && readsOf(s) == mine.reads;
        if (ro) return writesOf(s) == 0 && (s & kClaim) == 0;
        return (s & (kReadMask | kWriteMask)) == 0 && ((s & kClaim) == 0 || claimed);
    }

    // One attempt; true when taken. A holder of the write lock, and a reader
    // nesting a read, go in at once: nobody can be in their way, and a
    // holder must never wait for a writer that waits for it. A writer that
    // gets in ends its claim.
    [[gnu::always_inline]] static bool tryTake(kelObject& o, bool ro, const Mine& mine, bool claimed) noexcept
    {
        const uint64_t one = ro ? kReadOne : kWriteOne;
        if (kelOnlyThread()) {
            // Nobody else exists to race with; a claim can only be this
            // thread's own, from a wait that ends here.
            const uint64_t s = o.f_state.load(std::memory_order_relaxed);
            const bool entitled = mine.writes > 0 || (ro && mine.reads > 0);
            if (!entitled && !canTake(s, ro, mine, claimed)) return false;
            o.f_state.store((s + one) & (claimed ? ~kClaim : ~uint64_t{0}), std::memory_order_relaxed);
            return true;
        }
        if (mine.writes > 0 || (ro && mine.reads > 0)) {
            o.f_state.fetch_add(one, std::memory_order_relaxed);
            return true;
        }
        if (ro) {
            // Readers add themselves first and look after: two readers then
            // never retry against each other. One that finds a writer or a
            // claim takes itself out again, waking whoever slept meanwhile
            // because of it.
            if ((o.f_state.fetch_add(kReadOne, std::memory_order_acquire) & (kWriteMask | kClaim)) == 0)
                return true;
            if (o.f_state.fetch_sub(kReadOne, std::memory_order_relaxed) &
                (kWriterSleepers | kUpgraderSleepers))
                wakeWhoCanEnter(o);
            return false;
        }
        const uint64_t keep = claimed ? ~kClaim : ~uint64_t{0};
        uint64_t s = o.f_state.load(std::memory_order_relaxed);
        while (canTake(s, ro, mine, claimed))
            if (o.f_state.compare_exchange_weak(s, (s + one) & keep, std::memory_order_acquire,
                                                std::memory_order_relaxed))
                return true;
        return false;
    }

    // The word sleepers sleep on: the high half of the state.
    static const std::atomic<uint32_t>& sleepWord(const kelObject& o) noexcept
    {
        static_assert(sizeof(o.f_state) == 8 && alignof(std::atomic<uint64_t>) == 8);
        return *reinterpret_cast<const std::atomic<uint32_t>*>(reinterpret_cast<const char*>(&o.f_state) + 4);
    }

    // Which sleepers state `s` may let in: writers once nothing is held,
    // upgraders whenever no write is held (each waits for the readers but
    // itself to leave), readers once no write is held and no writer claims.
    // The flags of the classes woken are cleared and the wake count bumped in
    // `next`; 0 when nobody is to be woken (and `next` is `s`).
    static uint32_t planWake(uint64_t s, uint64_t& next) noexcept
    {
        next = s;
        if (writesOf(s) != 0) return 0;
        uint32_t classes = 0;
        if ((s & kWriterSleepers) && readsOf(s) == 0) {
            classes |= kWriterClass;
            next &= ~kWriterSleepers;
        }
        if (s & kUpgraderSleepers) {
            classes |= kUpgraderClass;
            next &= ~kUpgraderSleepers;
        }
        if ((s & kReaderSleepers) && (s & kClaim) == 0) {
            classes |= kReaderClass;
            next &= ~kReaderSleepers;
        }
        if (classes) next = nextWake(next);
        return classes;
    }

    static void wake(const kelObject& o, uint32_t classes) noexcept
    {
        if (classes) kelFutexWakeAllOf(sleepWord(o), classes);
    }

    // Wakes whoever the state as it is now can let in; for changes made by
    // a thread that holds nothing (a reader backing out, a writer giving up
    // its claim).
    static void wakeWhoCanEnter(kelObject& o) noexcept
    {
        uint64_t s = o.f_state.load();
        uint64_t next = s;
        uint32_t classes = 0;
        do
            classes = planWake(s, next);
        while (classes && !o.f_state.compare_exchange_weak(s, next));
        wake(o, classes);
    }

    // Before sleeping: sets the sleepers' flag of the caller's class, and a
    // writer claims the right to enter when nobody has. Gives the state the
    // sleep is to see unchanged; false when the lock can be taken now
    // instead.
    static bool announce(kelObject& o, bool ro, const Mine& mine, bool& claimed, uint64_t& seen) noexcept
    {
        uint64_t s = o.f_state.load();
        for (;;) {
            if (canTake(s, ro, mine, claimed)) return false;
            const bool claiming = !ro && (s & kClaim) == 0;
            const uint64_t flag = ro ? kReaderSleepers : mine.reads > 0 ? kUpgraderSleepers : kWriterSleepers;
            const uint64_t next = s | flag | (claiming ? kClaim : 0);
            if (next == s || o.f_state.compare_exchange_weak(s, next)) {
                claimed = claimed || claiming;
                seen = next;
                return true;
            }
        }
    }

    // A writer that gives up lets go of its claim and wakes the readers it
    // held off.
    static void dropClaim(kelObject& o) noexcept
    {
        if (o.f_state.fetch_and(~kClaim) & kReaderSleepers) wakeWhoCanEnter(o);
    }

    // Spins a little, then sleeps until a release that can let it in, or the
    // end of the timeout, and tries again. Nothing is queued: a woken thread
    // competes with the threads that just arrived.
    // Out of line, so that the inlined uncontended path stays small.
    [[gnu::noinline]] static bool waitToTake(kelObject& o, bool ro, const Mine& mine,
                                             intptr_t timeout) noexcept
    {
        if (timeout < 0) return false;
        const uint64_t mark = tickNow();
        bool claimed = false;
        bool taken = false;
        for (;;) {
            for (int spin = 0;
                 spin < kSpins && !canTake(o.f_state.load(std::memory_order_relaxed), ro, mine, claimed);
                 ++spin)
                cpuRelax();
            if (tryTake(o, ro, mine, claimed)) {
                taken = true;
                break;
            }
            if (!timeLeft(mark, timeout)) break;
            uint64_t seen = 0;
            if (!announce(o, ro, mine, claimed, seen)) continue;
            // Sleep until just past the tick at which the timeout runs out.
            // Any wake after `seen` changes the high half, so the sleep then
            // does not begin.
            const int64_t elapsed = static_cast<int64_t>(ticksSince(mark));
            const int64_t left = std::min<int64_t>(static_cast<int64_t>(timeout) - elapsed, kMaxSleepMs) + 1;
            const uint32_t classes = ro ? kReaderClass : mine.reads > 0 ? kUpgraderClass : kWriterClass;
            kelFutexWaitFor(sleepWord(o), static_cast<uint32_t>(seen >> 32), static_cast<uint32_t>(left),
                            classes);
        }
        if (claimed && !taken) dropClaim(o);
        return taken;
    }

    [[gnu::always_inline]] static bool acquire(kelObject& o, bool ro, intptr_t timeout) noexcept
    {
        Holds& h = t_holds;
        if (!makeRoom(h)) return false;
        const Mine mine = holdsOf(h, &o);
        if (!tryTake(o, ro, mine, false) && !waitToTake(o, ro, mine, timeout)) return false;
        h.data()[h.count++] = Hold{&o, ro};
        return true;
    }

    [[gnu::always_inline]] static bool release(kelObject& o) noexcept
    {
        Holds& h = t_holds;
        Hold* d = h.data();
        uint32_t i = h.count;
        while (i > 0 && d[i - 1].obj != &o)
            --i;
        if (i == 0) {
            KEL_DCHECK(!"kelObject released by a thread that does not hold it");
            return false;
        }
        const bool ro = d[i - 1].ro;
        if (i < h.count) std::memmove(d + i - 1, d + i, (h.count - i) * sizeof(Hold));
        --h.count;
        // The hold may be the last thing keeping another thread from taking
        // the lock and freeing the object, so nothing of the object is
        // touched once the hold is gone: the wake count and the flags change
        // in the exchange that drops the hold, and only the kernel's wake,
        // which goes by address alone, comes after (at worst a spurious wake
        // of whatever waits there later).
        const uint64_t one = ro ? kReadOne : kWriteOne;
        uint64_t old = o.f_state.load(std::memory_order_relaxed);
        if (kelOnlyThread()) {
            // Sleepers are threads, and there are none to wake.
            o.f_state.store((old - one) & ~kAnySleepers, std::memory_order_relaxed);
            return (ro ? readsOf(old) : writesOf(old)) == 1;
        }
        uint32_t classes = 0;
        for (;;) {
            uint64_t next = old - one;
            if (old & kAnySleepers) classes = planWake(next, next);
            if (o.f_state.compare_exchange_weak(old, next, std::memory_order_release,
                                                std::memory_order_relaxed))
                break;
            classes = 0;
        }
        wake(o, classes);
        return (ro ? readsOf(old) : writesOf(old)) == 1;
    }

    // Drops the calling thread's records of an object that ends.
    static void forget(const kelObject& o) noexcept
    {
        Holds& h = t_holds;
        Hold* d = h.data();
        uint32_t kept = 0;
        for (uint32_t i = 0; i < h.count; ++i)
            if (d[i].obj != &o) d[kept++] = d[i];
        h.count = kept;
    }
};

kelObject::kelObject() noexcept = default;

kelObject::~kelObject()
{
    f_destroying = true;
    // An object made later at this address must not look held by this thread.
    Ops::forget(*this);
#ifndef NDEBUG
    if (writeCount() > 0 || readCount() > 0)
        logFailuref("kelObject %p destroyed while its lock is held (write %lld, read %lld)",
                    static_cast<void*>(this), static_cast<long long>(writeCount()),
                    static_cast<long long>(readCount()));
#endif
}

int64_t kelObject::writeCount() const noexcept
{
    return writesOf(f_state.load());
}

int64_t kelObject::readCount() const noexcept
{
    return readsOf(f_state.load());
}

intptr_t kelObject::ownerEntries() const noexcept
{
    const int64_t holds = readCount() + writeCount() - f_unrecorded.load();
    return static_cast<intptr_t>(std::max<int64_t>(holds, 0));
}

int64_t kelObject::staticCount() noexcept
{
    return s_staticCounter.load();
}

// --- acquisition and release ---------------------------------------------------

bool kelObject::acquire(bool ro, intptr_t timeout, bool fsn) noexcept
{
    if (fsn) return acquireStaticLock(timeout);
    return Ops::acquire(*this, ro, timeout);
}

void kelObject::acquire(bool ro) noexcept
{
    f_unrecorded.fetch_add(1);
    f_state.fetch_add(ro ? kReadOne : kWriteOne);
}

bool kelObject::releaseRO() noexcept
{
    return Ops::release(*this);
}

bool kelObject::releaseWO() noexcept
{
    return Ops::release(*this);
}

// --- static lock -----------------------------------------------------------------

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
    return obj ? Ops::release(*obj) : releseStatic();
}

// --- create / free ---------------------------------------------------------------

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
