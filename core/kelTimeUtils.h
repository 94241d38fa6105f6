#pragma once
// Time and small arithmetic routines. Any thread.

#include "core/kelTypes.h"

#include <cstdint>

// A calendar time broken into fields.
struct kelSystemTime
{
    uint16_t year = 0;
    uint16_t month = 0;     // 1-12
    uint16_t dayOfWeek = 0; // 0 = Sunday
    uint16_t day = 0;       // 1-31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

// round(part * 100 / total), `total` taken as unsigned; 0 when either is 0.
int64_t percent(int64_t part, int64_t total) noexcept;
// 0 unless both are positive, else percent().
int64_t percentPositive(int64_t part, int64_t total) noexcept;

bool isLeapYear(int year) noexcept;

// The wall clock in UTC (for stamps and display only; elapsed time is
// measured with tickNow()).
kelSystemTime systemTimeNow() noexcept;
// The wall clock in local time.
kelSystemTime localTimeNow() noexcept;

// strftime(3) of `time` with `format` (UTF-16 in, UTF-16 out); "%f" is not
// special. Empty on failure or for an empty result.
kelString formatTime(const kelSystemTime& time, const kelString& format);

template <typename T> constexpr T choose(bool flag, T a, T b)
{
    return flag ? a : b;
}
