#pragma once
// Thread identity and sleeping: the operating-system services the lock and
// thread code build on.

#include <cstdint>

// The calling thread's kernel thread id (never 0).
uint32_t kelCurrentThreadId() noexcept;

// Sleeps the calling thread for `ms` milliseconds (0 yields).
void kelSleepMs(uint32_t ms) noexcept;
