#include "platform/kelFutex.h"

#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the kernel compares the atomic's plain 32-bit value");

namespace {

// Private futexes: the word never lives in memory shared between processes.
long futex(const std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout,
           uint32_t bits = 0) noexcept
{
    return ::syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                     timeout, nullptr, bits);
}

} // namespace

void kelFutexWait(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs) noexcept
{
    const timespec timeout{static_cast<time_t>(timeoutMs / 1000),
                           static_cast<long>(timeoutMs % 1000) * 1000000L};
    futex(word, FUTEX_WAIT, expected, &timeout);
}

void kelFutexWakeAll(const std::atomic<uint32_t>& word) noexcept
{
    futex(word, FUTEX_WAKE, INT_MAX, nullptr);
}

void kelFutexWaitFor(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs,
                     uint32_t classes) noexcept
{
    // The bitset form takes an absolute deadline on the monotonic clock.
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    futex(word, FUTEX_WAIT_BITSET, expected, &deadline, classes);
}

void kelFutexWakeAllOf(const std::atomic<uint32_t>& word, uint32_t classes) noexcept
{
    futex(word, FUTEX_WAKE_BITSET, INT_MAX, nullptr, classes);
}
