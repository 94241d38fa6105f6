#pragma once
// Sleeping on a 32-bit word until another thread changes it and wakes the
// sleepers: the kernel service the lock's slow path builds on.

#include <atomic>
#include <cstdint>

// Sleeps while `word` holds `expected`, at most `timeoutMs` milliseconds.
// Returns at once when the word already differs; may also return early for
// no reason, so callers look again.
void kelFutexWait(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs) noexcept;

// Wakes every thread sleeping on `word`.
void kelFutexWakeAll(const std::atomic<uint32_t>& word) noexcept;

// The same with a class of sleepers: a sleeper names its classes as bits, and
// a wake reaches only the sleepers that share one of its bits (so one word can
// serve sleepers that wait for different things).
void kelFutexWaitFor(const std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs,
                     uint32_t classes) noexcept;
void kelFutexWakeAllOf(const std::atomic<uint32_t>& word, uint32_t classes) noexcept;
