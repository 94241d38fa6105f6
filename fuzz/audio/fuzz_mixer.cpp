// The mixer on random formats and stream contents: the mixed chunk equals
// a plain loop that adds each stream's whole sample frames into the first,
// clipping every sum, and the bytes reported read are those frames.
#include "audio/kelWaveMixerDevice.h"
#include "core/kelAbstractStream.h"
#include "core/kelCreate.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int64_t sampleAt(const uint8_t* bytes, size_t at, unsigned bits)
{
    const size_t width = bits / 8;
    uint64_t raw = 0;
    for (size_t b = 0; b < width; ++b)
        raw |= uint64_t(bytes[at * width + b]) << (8 * b);
    if (bits == 8) return int64_t(raw) - 128;
    const uint64_t sign = uint64_t(1) << (bits - 1);
    return int64_t(raw ^ sign) - int64_t(sign);
}

void storeSample(std::string& bytes, size_t at, unsigned bits, int64_t value)
{
    const uint64_t raw = bits == 8 ? uint64_t(value + 128) : uint64_t(value);
    for (size_t b = 0; b < bits / 8; ++b)
        bytes[at * (bits / 8) + b] = char((raw >> (8 * b)) & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const unsigned bitsChoices[] = {8, 16, 24, 32};
    const unsigned bits = bitsChoices[data[0] & 3];
    const unsigned channels = 1 + ((data[0] >> 2) & 7);
    const bool addSilence = (data[0] & 0x20) != 0;
    const uint32_t rate = 1000 * (1 + data[1] % 48);
    const size_t streams = 1 + (data[2] & 3);
    kelOwned<kelWaveMixerDevice> device(kelCreate<kelWaveMixerDevice>(false, addSilence, uintptr_t(4)));
    if (!device || !device->setSampling(rate, uint16_t(bits), uint16_t(channels))) return 0;
    const size_t chunk = device->chunkSize();
    const size_t frame = bits / 8 * channels;
    std::string mixed;
    device->setOnDataAvailable([&mixed](kelMsAcmStreamDevice*, void* chunkData, uintptr_t chunkSize) {
        mixed.assign(static_cast<const char*>(chunkData), chunkSize);
    });
    // The rest of the input is cut into one piece per stream.
    const uint8_t* rest = data + 3;
    const size_t restSize = size - 3;
    const size_t share = restSize / streams;
    const int64_t top = (int64_t(1) << (bits - 1)) - 1;
    std::vector<int64_t> sum(chunk / (bits / 8), 0);
    uintptr_t expected = 0;
    for (size_t k = 0; k < streams; ++k) {
        kelAbstractStream* s = device->addStream();
        if (s == nullptr) std::abort();
        const uint8_t* piece = rest + k * share;
        const size_t n = std::min(share, chunk * 3);
        if (n > 0 && s->write(piece, intptr_t(n)) != intptr_t(n)) return 0; // over the stream's limit
        const size_t bytes = std::min(n, chunk) / frame * frame;
        for (size_t i = 0; i < bytes / (bits / 8); ++i)
            sum[i] = std::clamp(sum[i] + sampleAt(piece, i, bits), -top - 1, top);
        expected += bytes;
    }
    if (device->mix() != expected) std::abort();
    std::string reference(chunk, '\0');
    for (size_t i = 0; i < sum.size(); ++i)
        storeSample(reference, i, bits, sum[i]);
    if (mixed != reference) std::abort();
    return 0;
}
