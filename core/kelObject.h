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
// Each thread keeps its own records of the holds it has (object and mode,
// newest last), so re-entry, upgrade and release are answered from the
// calling thread's records; the object itself keeps one atomic word of hold
// counts and flags, so an uncontended acquisition or release is a single
// atomic operation. A thread that cannot take the lock spins briefly, then
// sleeps until a release (or a writer giving up its claim) that may let it
// in wakes it, or its timeout ends; readers are not woken while a writer
// claims. Nothing is queued and nothing is fair beyond the writer's claim.
// Beside the per-object lock there is one process-wide static lock (not
// re-entrant) for code that has no object at hand; the *Of() forms take it
// when the object is absent (null).

#include "core/kelTick.h"
#include "core/kelTypes.h"

#include <atomic>
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

    // Figures for tests and diagnostics: the read and write holds of every
    // thread (nested ones included, and the building block's bumps), and the
    // holds taken through acquire(ro, timeout) that are still held.
    int64_t writeCount() const noexcept;
    int64_t readCount() const noexcept;
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

    // The lock's workings, kept out of the header.
    struct Ops;
    friend struct Ops;

    std::atomic<bool> f_destroying{false};
    // Read holds, write holds, the wake count, the writer's claim and the
    // sleepers' flags; sleepers sleep on its high half.
    std::atomic<uint64_t> f_state{0};
    // Bumps of the building block, which hold without a record.
    std::atomic<int64_t> f_unrecorded{0};
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
