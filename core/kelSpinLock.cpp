#include "core/kelSpinLock.h"

namespace {

inline void cpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

void kelSpinLock::lockSlow() noexcept
{
    for (int spin = 0; spin < 200; ++spin) {
        cpuRelax();
        uint32_t expected = kFree;
        if (f_state.load(std::memory_order_relaxed) == kFree &&
            f_state.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return;
    }
    // Mark the lock contended so the holder wakes us when it lets go.
    while (f_state.exchange(kContended, std::memory_order_acquire) != kFree)
        f_state.wait(kContended, std::memory_order_relaxed);
}
