// G.722.1 frames of random bits at every sample rate and bit rate the
// decoder accepts, written in pieces of varying size with lost frames in
// between: every frame comes out as one whole frame of samples, and the
// bytes taken plus those pending equal the bytes written.
#include "codecs/kelG7221.h"

#include <cstdlib>

namespace {

class CheckingDecoder : public kelG7221Decoder
{
public:
    using kelG7221Decoder::kelG7221Decoder;
    intptr_t delivered = 0;

protected:
    void frameReady(const uint8_t* data, intptr_t len) override
    {
        if (data == nullptr || len != intptr_t(f_framesize) * 2) std::abort();
        const auto* samples = reinterpret_cast<const int16_t*>(data);
        for (intptr_t i = 0; i < len / 2; ++i)
            if ((samples[i] & 3) != 0) std::abort();
        ++delivered;
    }
};

constexpr int kRates = (kelG7221Mode::maxBitrate - kelG7221Mode::minBitrate) / kelG7221Mode::bitrateStep + 1;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const int choice = data[0] % (2 * kRates);
    const int sampleRate = choice < kRates ? 16000 : 32000;
    const int bitrate = kelG7221Mode::minBitrate + (choice % kRates) * kelG7221Mode::bitrateStep;
    const size_t piece = 1 + data[1] % 128 * 2; // odd sizes: frames straddle writes
    CheckingDecoder dec(sampleRate, bitrate);
    if (!dec.isConfigured()) std::abort();
    const intptr_t unit = dec.unitSize();
    intptr_t frames = 0, lost = 0;
    for (size_t pos = 2; pos < size; pos += piece) {
        const size_t n = size - pos < piece ? size - pos : piece;
        frames += dec.write(data + pos, intptr_t(n));
        // A piece starting with 0xFF is followed by a lost frame.
        if (data[pos] == 0xFF) lost += dec.lostFrame();
    }
    const intptr_t written = intptr_t(size - 2);
    if (frames != written / unit || dec.pendingBytes() != written % unit) std::abort();
    if (dec.delivered != frames + lost || dec.f_numFrames != dec.delivered) std::abort();
    return 0;
}
