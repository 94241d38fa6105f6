#pragma once
// kelEvent: an event with manual or automatic reset.
//
// waitFor() timeouts: 4294967295 (0xFFFFFFFF) waits without limit, a negative
// value waits for its absolute value, anything else is milliseconds.
// An auto-reset event releases one waiter per signal and resets as that
// waiter returns; a manual-reset event stays signalled until reset.
//
// For poll()-based loops, pollFd() gives a descriptor that is readable while
// the event is signalled. Polling does not consume an auto-reset signal: call
// waitFor(0) afterwards to take it.

#include "core/kelObject.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class kelEventFd;

class kelEvent : public kelObject
{
public:
    static constexpr int64_t kInfinite = 4294967295LL;

    kelEvent(bool manualReset, bool initialState, const kelString& name = {});
    ~kelEvent() override;

    void setState(bool signaled) noexcept;
    // setState(true) in two steps, for a signaller that holds a lock its
    // waiters take next: the state changes at once, and the waiters are
    // woken by wakeWaiters() once that lock is released, so they do not wake
    // into it. True when a waiter may need the wake; call wakeWaiters() then.
    [[nodiscard]] bool setWithoutWaking() noexcept;
    void wakeWaiters() noexcept;
    // True only when the event was signalled within the wait.
    [[nodiscard]] bool waitFor(int64_t timeout) noexcept;
    bool isSignaled() const noexcept;
    // The state without taking the event's mutex: a hint that may change at
    // once, and that orders no memory. For callers whose data has a lock of
    // its own, to skip signalling an event that is still signalled.
    bool isSignaledNow() const noexcept { return (f_state.load(std::memory_order_acquire) & kSignaled) != 0; }

    // Waits until one of `events` is signalled; returns its index, consuming
    // only that event's signal when it is auto-reset, or -1 on timeout.
    // When several are signalled the lowest index wins.
    static intptr_t waitForAny(kelEvent* const* events, size_t count, int64_t timeout) noexcept;

    // Readable while signalled; -1 if the descriptor could not be made.
    // Made on first use; safe from any thread.
    int pollFd() noexcept;
    // Closes the descriptor pollFd() made, if any; the next pollFd() makes a
    // new one. Only for the one who polls it, once it no longer does.
    void releasePollFd() noexcept;

    // The operating system has no events of its own here: the handle is the
    // object's address, kept so callers can tell events apart.
    uintptr_t handle() const noexcept { return reinterpret_cast<uintptr_t>(this); }
    const kelString& name() const noexcept { return f_name; }
    bool manualReset() const noexcept { return f_manualReset; }
    kelString _classID() const override { return u"kelEvent"; }

private:
    struct Waiter;
    bool takeLocked() noexcept;
    // Sets or clears the signal without the mutex when nobody watches the
    // event; false when somebody does, and the caller must take the mutex.
    bool changeUnwatched(bool signaled) noexcept;
    void watch() noexcept { f_state.fetch_add(kWatcherOne); }
    void unwatch() noexcept { f_state.fetch_sub(kWatcherOne); }
    // Takes every registration of `waiter` off the event.
    void dropWaiter(const std::shared_ptr<Waiter>& waiter) noexcept;

    // The state word: the signal in bit 0, above it the number of watchers,
    // which are the threads in waitFor and waitForAny and the poll
    // descriptor. Watchers are counted under f_mutex; with none, a signal
    // can change by one exchange of the word alone, and since that exchange
    // also proves nobody is watching, the event is not touched again after
    // it (its owner may free it the moment the signal shows).
    static constexpr uint32_t kSignaled = 1;
    static constexpr uint32_t kWatcherOne = 2;

    const bool f_manualReset;
    const kelString f_name;
    mutable std::mutex f_mutex;
    std::condition_variable f_cond;
    std::atomic<uint32_t> f_state;
    std::vector<std::shared_ptr<Waiter>> f_waiters;
    int f_sleepers = 0; // threads in waitFor (under f_mutex)
    std::unique_ptr<kelEventFd> f_fd;
};
