#include "platform/kelPlatformThread.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

uint32_t kelCurrentThreadId() noexcept
{
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

void kelSleepMs(uint32_t ms) noexcept
{
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
