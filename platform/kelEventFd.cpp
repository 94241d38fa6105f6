#include "platform/kelEventFd.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

kelEventFd::kelEventFd() noexcept : f_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

kelEventFd::~kelEventFd()
{
    if (f_fd >= 0) ::close(f_fd);
}

void kelEventFd::raise() noexcept
{
    if (f_fd < 0) return;
    // Drain first so the counter stays at 1 however often it is raised.
    clear();
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(f_fd, &one, sizeof one);
}

void kelEventFd::clear() noexcept
{
    if (f_fd < 0) return;
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(f_fd, &value, sizeof value);
}
