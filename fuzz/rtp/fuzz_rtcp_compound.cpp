// Received RTCP datagrams: every view the reader hands out must point inside
// the input, and the walk must end.
#include "net/rtp/kelRTCPPackets.h"
#include "net/rtp/kelRTCPParser.h"

#include <cstdlib>

namespace {

void mustBeInside(const uint8_t* base, size_t size, const uint8_t* p, size_t n)
{
    if (n == 0) return;
    if (p < base || p + n > base + size) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelRTCPReader reader(data, size);
    kelRTCPPacketView v;
    size_t packets = 0;
    volatile uint32_t sink = 0;
    while (reader.next(v)) {
        if (++packets > size / 4 + 1) std::abort();
        mustBeInside(data, size, v.packet, v.size);
        mustBeInside(data, size, v.cname, v.cnameLength);
        mustBeInside(data, size, v.appData, v.appDataSize);
        mustBeInside(data, size, v.blocks, size_t(v.blockCount) * kelRTCPBlockSize);
        mustBeInside(data, size, v.byeSSRCs, size_t(v.byeCount) * 4);
        if (v.byeCount > v.count || (v.byeCount > 0 && v.byeSSRCs + 4 * v.byeCount > v.packet + v.size))
            std::abort();
        for (unsigned i = 0; i < v.blockCount; ++i)
            sink = sink + v.block(i).ssrc;
        for (unsigned i = 0; i < v.byeCount; ++i)
            sink = sink + v.byeSSRC(i);
        if (v.isApp("_RTT") && v.appDataSize >= kelRTTPayloadSize)
            sink = sink + kelRTTPayload::read(v.appData).magic;
    }
    return 0;
}
