#pragma once
// The fixed tables of the RTSP unit: method names (their index is what
// requests and hooks carry), the header names of RFC 2326, and the day and
// month abbreviations of the Date header, with the Date text itself.

#include "core/kelTypes.h"

#include <cstdint>
#include <string_view>

enum kelRTSPMethod : intptr_t {
    kelRTSP_DESCRIBE = 0,
    kelRTSP_ANNOUNCE = 1,
    kelRTSP_GET_PARAMETER = 2,
    kelRTSP_OPTIONS = 3,
    kelRTSP_PAUSE = 4,
    kelRTSP_PLAY = 5,
    kelRTSP_RECORD = 6,
    kelRTSP_REDIRECT = 7,
    kelRTSP_SETUP = 8,
    kelRTSP_SET_PARAMETER = 9,
    kelRTSP_TEARDOWN = 10,
};
inline constexpr intptr_t kelRTSPMethodCount = 11;
extern const char16_t* const kelRTSPMethodNames[kelRTSPMethodCount];

inline constexpr intptr_t kelRTSPHeaderCount = 41;
extern const char16_t* const kelRTSPHeaderNames[kelRTSPHeaderCount];

extern const char* const kelRTSPDayNames[7];
extern const char* const kelRTSPMonthNames[12];

// The method's index, ASCII case ignored; -1 when it is none of them.
intptr_t kelRTSPMethodIndex(std::u16string_view name) noexcept;
// The method's name; empty out of range.
kelString kelRTSPMethodName(intptr_t method);

// "Thu, 1 Jan 1970 00:00:00 GMT" for `unixMs` milliseconds since 1970 (UTC):
// the day of month unpadded, the time fields two digits each.
std::string kelRTSPDate(uint64_t unixMs);
// The UTC wall clock in milliseconds since 1970, for the Date header.
uint64_t kelRTSPWallClockMs() noexcept;
