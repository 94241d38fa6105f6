#include "net/rtp/kelSNTPPacket.h"

#include "core/kelByteOrder.h"

#include <cstring>

namespace {

// One NTP era (2^32 s) in ms.
constexpr int64_t kEra = (int64_t(1) << 32) * 1000;

// a - b, taken as the shorter way round the era.
int64_t eraDiff(uint64_t a, uint64_t b) noexcept
{
    int64_t d = static_cast<int64_t>(a - b) % kEra;
    if (d > kEra / 2) d -= kEra;
    if (d < -kEra / 2) d += kEra;
    return d;
}

// a - b for two 32.32 fixed-point stamps, in microseconds, rounded to the
// nearest. The 64-bit difference wraps with the era, so read as signed it is
// the shorter way round.
int64_t stampDiffUs(const kelNTP_timestamp& a, const kelNTP_timestamp& b) noexcept
{
    const auto whole = [](const kelNTP_timestamp& t) {
        return (uint64_t(t.r_seconds) << 32) | uint64_t(t.r_fraction);
    };
    const int64_t d = static_cast<int64_t>(whole(a) - whole(b));
    // d = seconds × 2^32 + fraction with 0 <= fraction < 2^32, for negative d
    // too (the shift is arithmetic).
    const int64_t seconds = d >> 32;
    const uint64_t fraction = static_cast<uint64_t>(d) & 0xFFFFFFFFu;
    return seconds * 1000000 + static_cast<int64_t>((fraction * 1000000 + (uint64_t(1) << 31)) >> 32);
}

// n / 2 rounded to the nearest, halves away from zero.
int64_t halfRounded(int64_t n) noexcept
{
    return n >= 0 ? (n + 1) / 2 : -((-n + 1) / 2);
}

} // namespace

void sntpBuildRequest(uint8_t (&out)[kelSNTPPacketSize], const kelNTP_timestamp& transmit) noexcept
{
    std::memset(out, 0, sizeof out);
    out[0] = 0xDB;
    out[1] = 0;
    out[2] = 1;
    out[3] = 0xFA;
    out[8] = 0x00;
    out[9] = 0x01;
    out[10] = 0x04;
    out[11] = 0x00;
    ntpWrite(out + 40, transmit);
}

bool sntpParseAnswer(const uint8_t* data, size_t size, kelSNTPAnswer& answer) noexcept
{
    if (data == nullptr || size < kelSNTPPacketSize) return false;
    kelSNTPAnswer a;
    a.leap = static_cast<uint8_t>(data[0] >> 6);
    a.version = static_cast<uint8_t>((data[0] >> 3) & 7);
    a.mode = static_cast<uint8_t>(data[0] & 7);
    a.stratum = data[1];
    a.refId = kelLoadBE32(data + 12);
    a.originate = ntpRead(data + 24);
    a.receive = ntpRead(data + 32);
    a.transmit = ntpRead(data + 40);
    answer = a;
    return true;
}

bool sntpAnswersRequest(const kelSNTPAnswer& answer, const kelNTP_timestamp& sent) noexcept
{
    return (answer.mode == kelSNTPModeServer || answer.mode == kelSNTPModeBroadcast) &&
           answer.originate == sent;
}

kelSNTPVerdict sntpJudgeAnswer(const kelSNTPAnswer& answer) noexcept
{
    if (answer.transmit == kelNTP_timestamp{}) return kelsv_unusable;
    if (answer.stratum == 0) return kelsv_kissOfDeath;
    if (answer.leap == kelSNTPLeapAlarm || answer.stratum > kelSNTPMaxStratum) return kelsv_unusable;
    return kelsv_usable;
}

kelNTP_timestamp sntpStampFromUnixUs(uint64_t unixUs) noexcept
{
    kelNTP_timestamp ntp;
    const uint64_t seconds = unixUs / 1000000;
    const uint64_t us = unixUs % 1000000;
    // At most 999999 us, which rounds to 2^32 - 4295: never a carry.
    const uint64_t fraction = ((us << 32) + 500000) / 1000000;
    ntp.r_seconds = static_cast<uint32_t>(seconds + kelNTPUnixEpochOffset);
    ntp.r_fraction = static_cast<uint32_t>(fraction);
    return ntp;
}

void sntpDelayOffsetUs(const kelNTP_timestamp& t1, const kelNTP_timestamp& t2, const kelNTP_timestamp& t3,
                       const kelNTP_timestamp& t4, int64_t& delayUs, int64_t& offsetUs) noexcept
{
    delayUs = stampDiffUs(t4, t1) - stampDiffUs(t3, t2);
    offsetUs = halfRounded(stampDiffUs(t2, t1) + stampDiffUs(t3, t4));
}

void sntpDelayOffset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4, int64_t& delay,
                     int64_t& offset) noexcept
{
    delay = eraDiff(t4, t1) - eraDiff(t3, t2);
    offset = (eraDiff(t2, t1) + eraDiff(t3, t4)) / 2;
}
