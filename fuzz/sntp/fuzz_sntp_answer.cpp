// Datagrams arriving at the SNTP client: parsing and the offset arithmetic
// must hold for any bytes.
#include "net/rtp/kelSNTPPacket.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelSNTPAnswer a;
    if (!sntpParseAnswer(data, size, a)) {
        if (size >= kelSNTPPacketSize) std::abort();
        return 0;
    }
    if (a.mode > 7 || a.version > 7 || a.leap > 3) std::abort();
    const kelNTP_timestamp sent = ntpRead(data + 24);
    if (sntpAnswersRequest(a, sent) != (a.mode == kelSNTPModeServer || a.mode == kelSNTPModeBroadcast))
        std::abort();
    // A usable answer always has a transmit time, a synchronised server and
    // a stratum of 1 ... 15.
    if (sntpJudgeAnswer(a) == kelsv_usable &&
        (a.transmit == kelNTP_timestamp{} || a.leap == kelSNTPLeapAlarm || a.stratum == 0 || a.stratum > 15))
        std::abort();
    int64_t delay = 0;
    int64_t offset = 0;
    sntpDelayOffset(ntpToMs(a.originate), ntpToMs(a.receive), ntpToMs(a.transmit),
                    ntpToMs(ntpRead(data + 16)), delay, offset);
    // Each difference is at most half an era.
    const int64_t halfEra = (int64_t(1) << 31) * 1000;
    if (offset > halfEra || offset < -halfEra || delay > 2 * halfEra || delay < -2 * halfEra) std::abort();
    // The same at full resolution, in us.
    int64_t delayUs = 0;
    int64_t offsetUs = 0;
    sntpDelayOffsetUs(a.originate, a.receive, a.transmit, ntpRead(data + 16), delayUs, offsetUs);
    const int64_t halfEraUs = (int64_t(1) << 31) * 1000000;
    if (offsetUs > halfEraUs || offsetUs < -halfEraUs || delayUs > 2 * halfEraUs || delayUs < -2 * halfEraUs)
        std::abort();
    return 0;
}
