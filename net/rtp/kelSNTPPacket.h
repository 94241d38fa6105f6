#pragma once
// SNTP packets (RFC 4330 section 4), 48 bytes, and the round-trip arithmetic
// of section 5:
//
//   byte 0      LI (2 bits) | VN (3 bits) | mode (3 bits)
//   byte 1      stratum            byte 2  poll      byte 3  precision
//   bytes 4-7   root delay         bytes 8-11  root dispersion
//   bytes 12-15 reference identifier
//   bytes 16-23 reference timestamp
//   bytes 24-31 originate timestamp (the request's transmit time, echoed)
//   bytes 32-39 receive timestamp   (server clock, request arrived)
//   bytes 40-47 transmit timestamp  (server clock, answer left)
//
// Wire format only: no sockets, threads or clocks here.

#include "net/rtp/kelNTPTimestamp.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kelSNTPPacketSize = 48;
inline constexpr uint8_t kelSNTPModeClient = 3;
inline constexpr uint8_t kelSNTPModeServer = 4;
inline constexpr uint8_t kelSNTPModeBroadcast = 5;
// Leap indicator 3: the server's clock is not synchronised.
inline constexpr uint8_t kelSNTPLeapAlarm = 3;
// Strata above this are unsynchronised (16) or reserved.
inline constexpr uint8_t kelSNTPMaxStratum = 15;

struct kelSNTPAnswer
{
    uint8_t leap = 0;
    uint8_t version = 0;
    uint8_t mode = 0;
    uint8_t stratum = 0;
    // The four identifier bytes as a big-endian number ("LOCL" = 0x4C4F434C).
    uint32_t refId = 0;
    kelNTP_timestamp originate;
    kelNTP_timestamp receive;
    kelNTP_timestamp transmit;
};

// The client request: 0xDB (LI 3, version 3, mode 3), stratum 0, poll 1,
// precision 0xFA, root dispersion 00 01 04 00, `transmit` at bytes 40-47,
// every other byte 0.
void sntpBuildRequest(uint8_t (&out)[kelSNTPPacketSize], const kelNTP_timestamp& transmit) noexcept;

// Reads an answer of at least 48 bytes (longer ones carry extensions or a
// key, ignored). False, with `answer` untouched, when it is shorter.
bool sntpParseAnswer(const uint8_t* data, size_t size, kelSNTPAnswer& answer) noexcept;

// True for a server's answer (mode 4, or 5 from a broadcast server) to the
// request sent at `sent`: the answer must echo that stamp as its originate
// timestamp, which also stops stale answers, reflected requests and
// datagrams of anyone else.
bool sntpAnswersRequest(const kelSNTPAnswer& answer, const kelNTP_timestamp& sent) noexcept;

// What an answer to our request is worth.
enum kelSNTPVerdict {
    kelsv_usable,      // its stamps measure the offset
    kelsv_kissOfDeath, // stratum 0: refId holds a code ("RATE", "DENY", ...)
    kelsv_unusable,    // no transmit time, or the server is not synchronised
};
// Judges an answer that sntpAnswersRequest() accepted. A transmit timestamp
// of 0 would put the clock decades off; a leap indicator of 3 or a stratum
// above 15 says the server has no time to give.
kelSNTPVerdict sntpJudgeAnswer(const kelSNTPAnswer& answer) noexcept;

// A time given as microseconds since 1970 UTC, as an NTP timestamp at full
// resolution (the fraction rounded to the nearest 2^-32 s). The exchange's
// own stamps use it, so T1 and T4 keep their sub-millisecond part.
kelNTP_timestamp sntpStampFromUnixUs(uint64_t unixUs) noexcept;

// Round-trip delay and clock offset in microseconds from the four stamps at
// full resolution (see sntpDelayOffset for their meaning). Differences are
// taken the shorter way round the NTP era.
void sntpDelayOffsetUs(const kelNTP_timestamp& t1, const kelNTP_timestamp& t2, const kelNTP_timestamp& t3,
                       const kelNTP_timestamp& t4, int64_t& delayUs, int64_t& offsetUs) noexcept;

// Round-trip delay and clock offset in ms from T1 (request sent, our clock),
// T2 (request received) and T3 (answer sent, both server clock) and T4
// (answer received, our clock), all ms since 1900:
//   delay = (T4 - T1) - (T3 - T2),  offset = ((T2 - T1) + (T3 - T4)) / 2.
// Differences are taken across the 2036 rollover of the seconds field.
void sntpDelayOffset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4, int64_t& delay,
                     int64_t& offset) noexcept;
