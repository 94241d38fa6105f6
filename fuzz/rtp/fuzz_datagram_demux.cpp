// Any bytes on a media port: the classifier answers for each one kind whose
// defining bytes are really there, and reads nothing past the input (the
// sanitizers see to that).
#include "net/rtp/kelDatagramDemux.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const kelDatagramKind kind = kelClassifyDatagram(data, size);
    const bool version2 = size > 0 && (data[0] & 0xC0) == 0x80;
    const bool rtcpType = size > 1 && data[1] >= 192 && data[1] <= 223;
    switch (kind) {
    case keldg_stun:
        if (size < kelSTUNHeaderSize || data[0] > 3 || ((size_t(data[2]) << 8) | data[3]) + 20 != size ||
            data[4] != 0x21 || data[5] != 0x12 || data[6] != 0xA4 || data[7] != 0x42)
            std::abort();
        break;
    case keldg_dtls:
        if (size == 0 || data[0] < 20 || data[0] > 63) std::abort();
        break;
    case keldg_rtcp:
        if (!version2 || !rtcpType || size < kelRTCPMinSize) std::abort();
        break;
    case keldg_rtp:
        if (!version2 || rtcpType || size < 12) std::abort();
        break;
    case keldg_other:
        if (size > 0 && data[0] >= 20 && data[0] <= 63) std::abort();
        break;
    default:
        std::abort();
    }
    // The STUN test agrees with the classifier on every input.
    if (kelIsSTUNMessage(data, size) != (kind == keldg_stun)) std::abort();
    return 0;
}
