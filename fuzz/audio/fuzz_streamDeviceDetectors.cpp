// A stream device's DSP and voice-activity silence modes on random formats
// (rates 1 to 384000, 1 to 300 channels, any sample size, plain or
// extensible records) and random chunk sizes: no access outside the chunk
// or the device's own buffers (ASan), and a chunk the mode cannot read
// passes.
//
// Input: mode (1 byte), record kind (1), rate (4), channels (2), bits (2),
// then chunks, each a 2-byte length and that many bytes.

#include "audio/kelWaveFormatRoutines.h"
#include "tests/support/kelTestDevices.h"
#include "fuzz/kelFuzzInput.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelFuzzInput in{data, size};
    const auto mode = (in.take(1) & 1) ? kelsdm_DSP : kelsdm_3GPPVAD1;
    const uint64_t kind = in.take(1) % 3; // PCM, extensible PCM, extensible float
    const auto rate = uint32_t(in.take(4) % 384000 + 1);
    const auto channels = uint16_t(in.take(2) % 300 + 1);
    const auto bits = uint16_t(in.take(2));

    WAVEFORMATEXTENSIBLE record{};
    record.Format = kelTestPcmFormat(rate, channels, 16);
    record.Format.wBitsPerSample = bits;
    record.Format.nBlockAlign = uint16_t(uint32_t(channels) * bits / 8);
    record.Format.nAvgBytesPerSec = rate * record.Format.nBlockAlign;
    if (kind != 0) {
        record.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        record.Format.cbSize = 22;
        record.Samples.wValidBitsPerSample = bits;
        record.SubFormat = kind == 1 ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    auto device = kelMakeOwned<kelTestStreamDevice>();
    if (!device) return 0;
    device->setSilenceDetectionMode(mode);
    if (!device->setFormat(true, &record.Format, sizeof record)) return 0;
    if (device->open(false, 1000, 0, false) != 0) return 0;
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(device->srcFormatExt());
    const bool readable = formatIsPCM(format, sizeof(WAVEFORMATEX) + format->cbSize);

    std::vector<uint8_t> chunk;
    while (in.at < size) {
        const size_t length = size_t(in.take(2));
        chunk.assign(data + in.at, data + std::min(size, in.at + length));
        in.at += chunk.size();
        // The chunk is exactly its bytes, so ASan sees any read past it.
        const bool pass = device->analyzeChunk(chunk.data(), chunk.size(), format);
        if (!readable) check(pass && !device->isSilence());
    }
    device->close(1000);
    return 0;
}
