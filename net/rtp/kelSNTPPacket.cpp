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
    return answer.mode == kelSNTPModeServer && answer.originate == sent;
}

void sntpDelayOffset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4, int64_t& delay,
                     int64_t& offset) noexcept
{
    delay = eraDiff(t4, t1) - eraDiff(t3, t2);
    offset = (eraDiff(t2, t1) + eraDiff(t3, t4)) / 2;
}
