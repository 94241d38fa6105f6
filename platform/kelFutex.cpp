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
long futex(const std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout) noexcept
{
    return ::syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                     timeout, nullptr, 0);
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
