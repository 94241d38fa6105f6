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
    if (sntpAnswersRequest(a, sent) != (a.mode == kelSNTPModeServer)) std::abort();
    int64_t delay = 0;
    int64_t offset = 0;
    sntpDelayOffset(ntpToMs(a.originate), ntpToMs(a.receive), ntpToMs(a.transmit),
                    ntpToMs(ntpRead(data + 16)), delay, offset);
    // Each difference is at most half an era.
    const int64_t halfEra = (int64_t(1) << 31) * 1000;
    if (offset > halfEra || offset < -halfEra || delay > 2 * halfEra || delay < -2 * halfEra) std::abort();
    return 0;
}
