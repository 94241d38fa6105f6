// Received RTP datagrams: the located payload must lie inside the input.
#include "net/rtp/kelRTPHeader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelRTPPacketInfo info;
    if (rtpParsePacket(data, size, info)) {
        if (info.payloadOffset + info.payloadSize + info.paddingSize != size || info.headerSize < 12 ||
            info.payloadOffset != info.headerSize + info.extensionSize)
            std::abort();
        // The extension is there exactly when X is set, and lies inside.
        if (((data[0] & 0x10) != 0) != (info.extensionSize >= 4)) std::abort();
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < info.payloadSize; ++i)
            sink = sink + data[info.payloadOffset + i];
        (void)info.header.seq();
    }
    return 0;
}
