#pragma once
// The one bounded wait of the tests: polls a condition until it holds or the
// time runs out, so no test sleeps for a fixed time hoping something
// happened meanwhile. Any thread; the condition runs on the caller's thread.

#include <cstdint>
#include <functional>

// Time a test grants a condition that normally holds within milliseconds; a
// loaded machine (sanitizers, parallel builds) still gets there in time.
inline constexpr uint64_t kelTestWaitMs = 10000;

// True once `condition` holds. It is polled every 2 ms for up to
// `timeoutMs` and once more at the end, so a condition that turns true at
// the deadline still counts.
bool kelTestWaitUntil(const std::function<bool()>& condition, uint64_t timeoutMs = kelTestWaitMs);

class kelManualClock;

// Moves `clock` on by `stepMs` at a time until `condition` holds, giving the
// threads that read the clock up to `tickWaitMs` of real time after each
// step to act on it (idle threads tick every 100 ms). False when it still
// fails after `maxMs` of clock time. A step of a report interval or more
// (a few seconds) brings one report time per step, the quickest way
// through intervals; smaller steps suit conditions on a finer time.
bool kelTestAdvanceUntil(kelManualClock& clock, const std::function<bool()>& condition, uint64_t maxMs,
                         uint64_t stepMs = 1000, uint64_t tickWaitMs = 150);
