#pragma once
// kelObject: the root class of every object the library shares between
// threads. Each object carries a timed, re-entrant reader/writer lock:
//
//  - any number of threads may hold it read-only at once; a write hold
//    excludes every other thread;
//  - a thread that is the object's only holder may acquire again in either
//    mode (write while holding read, read while holding write), any number of
//    times; a thread that shares a read hold cannot upgrade until the others
//    leave;
//  - releases undo the calling thread's acquisitions last-in first-out, so
//    releaseRO() and releaseWO() are interchangeable;
//  - a writer that is trying keeps new readers of other threads out, so a
//    stream of readers cannot starve it.
//
// The counters and owner entries change under a short internal guard; a
// thread that cannot take the lock sleeps until a release (or a writer giving
// up its claim) wakes it, or its timeout ends. Nothing is queued and nothing
// is fair beyond the writer's claim. Beside the per-object lock
// there is one process-wide static lock (not re-entrant) for code that has no
// object at hand; the *Of() forms take it when the object is absent (null).

#include "core/kelSpinLock.h"
#include "core/kelTick.h"
#include "core/kelTypes.h"

#include <cstdint>
#include <vector>

class kelObject
{
public:
    kelObject() noexcept;
    virtual ~kelObject();
    kelObject(const kelObject&) = delete;
    kelObject& operator=(const kelObject&) = delete;

    // Takes the lock read-only (`ro`) or for writing within `timeout` ms
    // (negative: a single attempt; 0: the attempts that fit before the
    // millisecond tick advances). `fsn` takes the process-wide static lock
    // instead. True when taken; pair every success with one release on the
    // same thread.
    [[nodiscard]] bool acquire(bool ro, intptr_t timeout, bool fsn = false) noexcept;
    // Building block: bumps the read-only or write counter without waiting
    // and without recording an owner.
    void acquire(bool ro) noexcept;
    // Release the calling thread's newest acquisition, whatever its mode.
    // True when the counter of that mode dropped to 0.
    bool releaseRO() noexcept;
    bool releaseWO() noexcept;

    // The process-wide static lock.
    [[nodiscard]] static bool acquireStatic(intptr_t timeout) noexcept;
    static void acquireStatic() noexcept;
    static bool releseStatic() noexcept;

    // The same operations on an object that may be absent: a null `obj`
    // works on the static lock.
    [[nodiscard]] static bool acquireOf(kelObject* obj, bool ro, intptr_t timeout, bool fsn = false) noexcept;
    static void acquireOf(kelObject* obj, bool ro) noexcept;
    static bool releaseOf(kelObject* obj) noexcept;

    kelObject* _this() noexcept { return this; }
    // Subclasses may name themselves; empty for the root class.
    virtual kelString _classID() const { return {}; }
    // True once destruction has begun (set by kelFree before any destructor
    // runs): threads still holding a reference back off.
    bool destroying() const noexcept { return f_destroying.load(); }

    // Figures for tests and diagnostics.
    int64_t writeCount() const noexcept { return f_acqObj[0].load(); }
    int64_t readCount() const noexcept { return f_acqObj[1].load(); }
    intptr_t ownerEntries() const noexcept;
    static int64_t staticCount() noexcept;

protected:
    // Run by kelCreate once the object is fully constructed: the place to
    // start threads or call virtual members. Runs on the creating thread.
    virtual void afterConstruction() {}
    // Run by kelFree before the destructors, with destroying() already true:
    // the place to stop threads and run virtual clean-up.
    virtual void beforeDestruction() {}

private:
    template <class T, class... Args> friend T* kelCreate(Args&&... args) noexcept;
    friend void kelFree(kelObject* obj) noexcept;

    static constexpr int kWrite = 0;
    static constexpr int kRead = 1;

    // One attempt under the guard; false when the caller has to wait.
    bool tryRead(uint32_t id) noexcept;
    bool tryWrite(uint32_t id) noexcept;
    // A writer that gives up lets go of its claim to enter.
    void dropClaim(uint32_t id) noexcept;
    bool acquireWaiting(bool ro, uint32_t id, intptr_t timeout) noexcept;
    // Sleeps until a release after `seen` or until the deadline (in the
    // steady clock's nanoseconds).
    void waitForRelease(uint32_t seen, int64_t deadlineNs) noexcept;
    // Wakes the sleepers; needs the guard, which the caller drops before
    // calling wakeSleepers().
    bool noteRelease() noexcept;
    void wakeSleepers() noexcept;
    bool releaseNewest() noexcept;
    static bool acquireStaticLock(intptr_t timeout) noexcept;

    // Owner entries; every call below needs f_pwnThreadGuard held.
    void recordOwner(uint32_t id, bool ro);
    bool findOwner(uint32_t id, bool soleOwner, bool clear, bool* ro) noexcept;

    std::atomic<bool> f_destroying{false};
    kelLockCounter f_acqObj[2]{};
    std::vector<uint32_t> f_pwnThreadID;
    std::vector<uint8_t> f_pwnThreadOp;
    intptr_t f_pwnThreadCount = 0;
    intptr_t f_pwnThreadMax = 0;
    std::atomic<uint32_t> f_woEnterThreadID{0};
    // Threads sleeping on this object, and the count of releases they watch.
    uint32_t f_sleepers = 0;
    std::atomic<uint32_t> f_releaseSeq{0};
    // Guards the counters, the owner entries and the sleeper count, so a
    // counter and the owner record that goes with it change together.
    mutable kelSpinLock f_pwnThreadGuard;
};

// Scope guard for a kelObject lock (or the static lock when `obj` is null).
class kelLock
{
public:
    kelLock(kelObject* obj, bool ro, intptr_t timeout) noexcept
        : f_obj(obj), f_held(kelObject::acquireOf(obj, ro, timeout))
    {}
    ~kelLock() { release(); }
    kelLock(const kelLock&) = delete;
    kelLock& operator=(const kelLock&) = delete;

    explicit operator bool() const noexcept { return f_held; }
    bool held() const noexcept { return f_held; }
    void release() noexcept
    {
        if (f_held) kelObject::releaseOf(f_obj);
        f_held = false;
    }

private:
    kelObject* f_obj;
    bool f_held;
};
