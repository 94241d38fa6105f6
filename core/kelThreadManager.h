#pragma once
// kelThreadManager: a group of threads started, paused, resumed and stopped
// together. The manager keeps plain pointers; a `master` manager also frees
// its threads (through kelFree) in clear() and at destruction.
//
// Every group operation works on a snapshot of the count under the manager's
// read lock (1000 ms), skips absent entries and returns how many threads
// reported success. Any thread may call them, but not a managed thread's own
// body for stop() / clear() (a body is never waited for by itself).

#include "core/kelObject.h"

#include <cstdint>
#include <memory>

class kelList;
class kelThread;

class kelThreadManager : public kelObject
{
public:
    explicit kelThreadManager(bool master = false);
    ~kelThreadManager() override;

    // Index of the added thread, -1 on failure (null thread or list lock).
    intptr_t add(kelThread* thread) noexcept;
    kelThread* get(intptr_t index) const noexcept;
    // Takes the thread out of the group without stopping or freeing it.
    bool remove(intptr_t index) noexcept;
    intptr_t getCount() const noexcept;
    // Stops every thread with its default stop timeout, frees them when
    // `master`, and empties the group.
    void clear() noexcept;

    // start(10000) on every thread.
    intptr_t start() noexcept;
    // Tells every thread to stop first, then waits for each within `timeout`,
    // so the waits overlap. True when every thread reported stopped (or
    // stopping).
    bool stop(intptr_t timeout) noexcept;
    intptr_t pause() noexcept;
    intptr_t resume() noexcept;

    bool master() const noexcept { return f_master; }
    kelString _classID() const override { return u"kelThreadManager"; }

private:
    template <class Op> intptr_t forEach(Op op) noexcept;

    std::unique_ptr<kelList> f_threads;
    bool f_master;
};
