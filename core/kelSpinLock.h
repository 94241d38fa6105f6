#pragma once
// kelSpinLock: a one-word lock for critical sections of a few dozen
// instructions. It spins briefly, because the holder is almost always about
// to let go, and then sleeps in the kernel, so a holder that was preempted
// does not cost the waiter its whole time slice.

#include <atomic>
#include <cstdint>

class kelSpinLock
{
public:
    void lock() noexcept
    {
        uint32_t expected = kFree;
        if (f_state.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed))
            return;
        lockSlow();
    }
    void unlock() noexcept
    {
        if (f_state.exchange(kFree, std::memory_order_release) == kContended) f_state.notify_one();
    }

private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kLocked = 1;
    static constexpr uint32_t kContended = 2; // locked, and somebody may sleep on it

    void lockSlow() noexcept;

    std::atomic<uint32_t> f_state{kFree};
};
