#pragma once
// The RTCP report interval of RFC 3550 appendix A.7, in milliseconds.
//
// C is the share of the RTCP bandwidth one member's report takes: the
// average compound size over the bandwidth, kept in milliseconds so it
// grows with the membership (avg 100 bytes at 200 bytes/s is 500 ms).
//   senders > 25 % of members:  C = avg / bw,         n = members
//   this side not sending:      C = avg / (bw × 3/4), n = members - senders
//   this side sending:          C = avg / (bw / 4),   n = senders
// Tmin = 2500 ms before the first report, 5000 ms after; Td = max(Tmin, n ×
// C); T = Td × (r + 50) / 100 / (e - 3/2) with r uniform in 0 ... 99, which
// spreads T over about 0.41 ... 1.22 Td. A ceiling on Td (maxTd) keeps
// reports flowing whatever the membership claims.

#include <cstdint>

struct kelRTCPIntervalInput
{
    int64_t members = 1; // this side included
    int64_t senders = 0;
    int64_t avgRtcpSize = 100;   // bytes
    int64_t rtcpBandwidth = 200; // bytes per second
    bool weSent = false;
    bool initial = true;
    // A ceiling of Td, ms, never below Tmin (0: none).
    int64_t maxTd = 0;
};

struct kelRTCPIntervalResult
{
    int64_t C = 0;
    int64_t Tmin = 0;
    int64_t Td = 0;
    int64_t T = 0;
    int64_t n = 0;
};

// `r` is the random draw, 0 ... 99 (larger values are taken modulo 100).
kelRTCPIntervalResult rtcpComputeInterval(const kelRTCPIntervalInput& in, uint32_t r) noexcept;
