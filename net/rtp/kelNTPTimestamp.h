#pragma once
// NTP timestamps (RFC 5905 section 6): 32-bit seconds since 1 January 1900
// UTC and a 32-bit binary fraction of a second. Held in host order; written
// to packets in network order.
//
//   0                   1                   2                   3
//   +---------------------------------------------------------------+
//   |                      seconds since 1900                       |
//   +---------------------------------------------------------------+
//   |                  fraction (bit 31 = 500 ms)                   |
//   +---------------------------------------------------------------+
//
// Millisecond fractions come from a 1000-entry table: entry m is the 32-bit
// binary expansion of m/1000, taken greedily from the top bit (which is the
// expansion truncated, never rounded up). SNTP and the RTCP sender report
// both use it, so their stamps agree to the bit.

#include <cstdint>

struct kelNTP_timestamp
{
    uint32_t r_seconds = 0;
    uint32_t r_fraction = 0;

    friend bool operator==(const kelNTP_timestamp&, const kelNTP_timestamp&) = default;
};
static_assert(sizeof(kelNTP_timestamp) == 8);

// Seconds between the NTP era (1900) and the Unix epoch (1970).
inline constexpr uint32_t kelNTPUnixEpochOffset = 2208988800u;

// The fraction of `ms` milliseconds, 0 <= ms < 1000 (larger values wrap).
uint32_t ntpFractionFromMs(uint32_t ms) noexcept;

// The whole table, for callers that index it themselves.
const uint32_t* ntpFractionTable() noexcept;

// A time given as milliseconds since 1970 UTC, as an NTP timestamp.
kelNTP_timestamp ntpFromUnixMs(uint64_t unixMs) noexcept;

// Milliseconds since 1900 and back: ms = seconds × 1000 + round(fraction ×
// 1000 / 2^32); the way back uses the table.
uint64_t ntpToMs(const kelNTP_timestamp& ntp) noexcept;
kelNTP_timestamp ntpFromMs(uint64_t ms) noexcept;

// The middle 32 bits (low 16 of the seconds, high 16 of the fraction): the
// compact form RTCP reports carry as "last SR".
inline uint32_t ntpMiddle32(const kelNTP_timestamp& ntp) noexcept
{
    return (ntp.r_seconds << 16) | (ntp.r_fraction >> 16);
}

// Writes or reads the 8 bytes in network order.
void ntpWrite(uint8_t* out, const kelNTP_timestamp& ntp) noexcept;
kelNTP_timestamp ntpRead(const uint8_t* in) noexcept;
