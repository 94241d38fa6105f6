#pragma once
// The multimedia timer calls. A periodic event runs on a thread of its own
// that sleeps to absolute CLOCK_MONOTONIC deadlines (start + n * period), so
// a late tick does not push the later ones back: 49 ticks a second stay 49
// on average however long it runs. Resolution requests are counted per
// period and paired: an end without its begin is refused, never counted
// below zero.

#include <cstdint>

using MMRESULT = uint32_t;

inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;

inline constexpr uint32_t TIME_ONESHOT = 0x0;
inline constexpr uint32_t TIME_PERIODIC = 0x1;
inline constexpr uint32_t TIME_CALLBACK_FUNCTION = 0x0;

struct TIMECAPS
{
    uint32_t wPeriodMin;
    uint32_t wPeriodMax;
};

// Called on the event's thread with its id and the user data given.
using kelTimeCallback = void (*)(uint32_t timerId, uint32_t msg, uintptr_t user, uintptr_t param1,
                                 uintptr_t param2);

// 1 ms to 1000000 ms.
MMRESULT timeGetDevCaps(TIMECAPS* caps, uint32_t capsSize) noexcept;
MMRESULT timeBeginPeriod(uint32_t period) noexcept;
MMRESULT timeEndPeriod(uint32_t period) noexcept;
// Requests of `period` begun and not yet ended.
uint32_t kelTimePeriodRequests(uint32_t period) noexcept;

// The id of the new event (never 0), or 0 when the delay is out of range or
// the thread could not start. A one-shot event ends after its call.
uint32_t timeSetEvent(uint32_t delayMs, uint32_t resolutionMs, kelTimeCallback callback, uintptr_t user,
                      uint32_t flags) noexcept;
// Stops the event: when it returns, no further call starts (a call in
// progress on another thread is waited for; from inside the event's own
// call it returns at once).
MMRESULT timeKillEvent(uint32_t timerId) noexcept;
