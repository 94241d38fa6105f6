// ADPCM payloads (IMA4 blocks, RTP DVI4 and VDVI): the first byte picks the
// layout and how the rest is cut into blocks; one decoder takes every block.
// Each block decodes to no more than its layout allows, and a DVI4 block to
// exactly two samples per code byte. Re-encoding the decoded samples must
// fit the encoder's block size.
#include "codecs/kelADPCM.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const auto variant = kel_ADPCM_type(data[0] % 3);
    const size_t blockSize = 1 + data[0] / 3; // 1..86
    kelADPCM_decoder dec(variant);
    kelADPCM_encoder enc(variant);
    for (size_t pos = 1; pos < size; pos += blockSize) {
        const size_t n = size - pos < blockSize ? size - pos : blockSize;
        const int16_t* samples = nullptr;
        const size_t bytes = dec.decode(data + pos, n, samples);
        if (bytes > kelADPCM_decoder::maxDecodedSize(variant, n) || bytes % 2 != 0) std::abort();
        if ((bytes == 0) != (samples == nullptr)) std::abort();
        if (variant == adpcm_DVI4 && n > 4 && bytes != 4 * (n - 4)) std::abort();
        if (dec.state().stepIndex < 0 || dec.state().stepIndex > kelADPCM_maxStepIndex) std::abort();
        if (bytes == 0) continue;
        const uint8_t* block = nullptr;
        const size_t coded = enc.encode(samples, bytes / 2, block);
        if (coded > kelADPCM_encoder::maxBlockSize(variant, bytes / 2)) std::abort();
    }
    return 0;
}
