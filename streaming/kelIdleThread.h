#pragma once
// kelIdleThread: ticks its streamer's onIdle() every 100 ms while the
// streamer is open. Created suspended at normal priority; the streamer
// starts it in doOpen() and stops it in doClose().

#include "core/kelThread.h"

class kelIPStreamer;

class kelIdleThread : public kelThread
{
public:
    static constexpr int64_t kTickMs = 100;

    explicit kelIdleThread(kelIPStreamer* master);

    kelIPStreamer* master() const noexcept { return f_master; }
    // Ticks since the last start (diagnostics and tests).
    uint64_t ticks() const noexcept { return f_ticks.load(std::memory_order_relaxed); }

    kelString _classID() const override { return u"kelIdleThread"; }

protected:
    // Until asked to stop: the master's onIdle(), then a 100 ms sleep that a
    // stop request cuts short. An exception from onIdle() is reported and the
    // ticking goes on.
    intptr_t execute(uintptr_t globalIndex) override;

private:
    kelIPStreamer* const f_master;
    std::atomic<uint64_t> f_ticks{0};
};
