// Any datagram or stream bytes arriving for a STUN request: reading ends
// inside the bytes, and only a success with an address is success.
#include "net/protocols/kelSTUNWire.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const kelSTUNResult r = stunReadAnswer(data, size);
    const bool known = r.code == 200 || r.code == 400 || (r.code >= 300 && r.code <= 699);
    if (!known) std::abort();
    if (r.code == 200 && (size < kelSTUNHeaderSize || data[0] != 0x01 || data[1] != 0x01)) std::abort();
    if (r.code != 200 && (r.ip != 0 || r.port != 0)) std::abort();
    const intptr_t frame = stunFrameSize(data, size);
    if (frame > 0 && (frame < intptr_t(kelSTUNHeaderSize) || frame > intptr_t(kelSTUNHeaderSize + 65535)))
        std::abort();
    if (frame == 0 && size >= kelSTUNHeaderSize) std::abort();
    return 0;
}
