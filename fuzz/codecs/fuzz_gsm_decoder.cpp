// GSM payloads, plain 33-byte frames or 65-byte WAV49 units, written to one
// decoder in pieces of varying size: every unit comes out as whole 320-byte
// frames, and the bytes taken plus those pending equal the bytes written.
#include "codecs/kelGSM.h"

#include <cstdlib>

namespace {

class CountingDecoder : public kelGSMDecoder
{
public:
    using kelGSMDecoder::kelGSMDecoder;
    intptr_t delivered = 0;

protected:
    void dataAvailable(kelGSMcoder*, const uint8_t* data, intptr_t len) override
    {
        if (len != 320 || data == nullptr) std::abort();
        volatile uint8_t sink = 0;
        for (intptr_t i = 0; i < len; ++i)
            sink = sink + data[i];
        delivered += len;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const bool wav49 = (data[0] & 1) != 0;
    const size_t piece = 1 + data[0] / 2; // 1..128
    CountingDecoder dec(wav49);
    intptr_t taken = 0;
    for (size_t pos = 1; pos < size; pos += piece) {
        const size_t n = size - pos < piece ? size - pos : piece;
        taken += dec.write(data + pos, intptr_t(n));
    }
    const intptr_t unit = wav49 ? 65 : 33;
    if (taken % unit != 0 || taken + dec.pendingBytes() != intptr_t(size - 1)) std::abort();
    if (dec.delivered != taken / unit * (wav49 ? 640 : 320)) std::abort();
    return 0;
}
