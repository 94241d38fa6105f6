#pragma once
// The millisecond tick and the try-lock on a 64-bit counter that every lock
// of the library is built from.

#include <atomic>
#include <cstdint>

using kelLockCounter = std::atomic<int64_t>;

// Milliseconds of the monotonic clock since an arbitrary start. 64 bits: it
// never wraps.
uint64_t tickNow() noexcept;

// tickNow() - mark, or 0 when the mark lies in the future.
uint64_t ticksSince(uint64_t mark) noexcept;

// Takes the counter: an attempt increments it and succeeds when the new value
// is exactly 1 (otherwise it is decremented again). Between attempts it sleeps
// (|timeout| / 256) + 1 ms and gives up once more than |timeout| ms have
// passed; a timeout of 0 makes one attempt. Any thread may call it.
bool acquireCounter(kelLockCounter& counter, intptr_t timeout) noexcept;

// One attempt of acquireCounter, without waiting.
bool tryAcquireCounter(kelLockCounter& counter) noexcept;

// Decrements the counter; true when it reached 0.
bool releaseCounter(kelLockCounter& counter) noexcept;
