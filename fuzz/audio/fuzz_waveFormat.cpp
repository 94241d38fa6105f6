// The wave format routines on a record of random bytes and random size, as a
// file's "fmt " chunk would hand it over: no read past the block (ASan), and
// the results keep their promises. The record's format then drives a chunk
// conversion, which must stay inside the buffers it sized.

#include "audio/kelWave.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

void fuzzChunk(const WAVEFORMATEX& header, uintptr_t bits)
{
    // 64 frames of up to 65535 channels of up to 65528 bits would be gigabytes.
    if (uint64_t{pcmContainerBits(bits)} * header.nChannels * 8 > (1u << 20)) return;
    kelPCMChunk src({header.nSamplesPerSec, bits, header.nChannels});
    if (src.allocChunk(64) == 0) return;
    std::memset(src.chunkData, 0x5A, src.chunkBufSize);
    src.chunkDataLen = src.chunkBufSize;
    check(src.chunkSamples() <= 64);

    kelPCMChunk dst({8000, 16, 2});
    const size_t needed =
        convertPcmSize(src.chunkSamples(), header.nChannels, 2, bits, 16, header.nSamplesPerSec, 8000);
    if (needed > (1u << 20)) return;
    if (needed > 0 && dst.allocChunk(needed / 4 + 1) == 0) return;
    check(src.convertChunk(dst) == needed || needed == 0);
    if (src.chunkSamples() > 0) {
        check(channelVolume(src.chunkData, src.chunkSamples(), bits, header.nChannels, 0, false) <= 65536);
        (void)channelVolume(src.chunkData, src.chunkSamples(), bits, header.nChannels, 0, true);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto* record = reinterpret_cast<const WAVEFORMATEX*>(data);
    const bool whole = size >= sizeof(WAVEFORMATEX);
    WAVEFORMATEX header{};
    if (whole) std::memcpy(&header, data, sizeof header);

    const bool pcm = formatIsPCM(record, size);
    check(!pcm || whole);
    check(formatDescription(record, size).empty() == !whole);

    kelFormatBlock copy;
    const size_t copied = duplicateFormat(record, size, copy);
    check(copied == (whole ? sizeof(WAVEFORMATEX) + header.cbSize : 0));
    check(copy.size() == copied);
    if (whole) check(std::memcmp(copy.data(), data, std::min(size, copied)) == 0);

    kelFormatBlock plain;
    const bool converted = formatExtToFormat(record, size, plain, (size & 1) != 0, size % 64);
    check(converted == !plain.empty());
    if (converted && header.wFormatTag == WAVE_FORMAT_EXTENSIBLE && header.cbSize >= kelFormatExtExtraSize) {
        const WAVEFORMATEX* f = plain.format();
        check(f != nullptr && f->nChannels == header.nChannels && f->wBitsPerSample == header.wBitsPerSample);
        check(f->wFormatTag == WAVE_FORMAT_PCM || f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT);
    }

    kelFormatBlock ext;
    const WAVEFORMATEX* extended = formatToFormatExt(ext, record, size);
    check((extended != nullptr) == whole);
    if (extended != nullptr && header.wFormatTag == WAVE_FORMAT_PCM) {
        check(ext.size() == sizeof(WAVEFORMATEXTENSIBLE));
        check(sameFormat(extended, ext.size(), extended, ext.size()));
        kelFormatBlock back;
        check(formatExtToFormat(extended, ext.size(), back, true));
        // Whole-byte samples come back as they went in.
        if (header.wBitsPerSample % 8 == 0) check(sameFormat(back.format(), back.size(), record, size));
    }
    if (whole) (void)sameFormat(record, size, copy.format(), copy.size());

    const uintptr_t bits = formatSampleBits(record, size);
    check(bits == 0 || pcm || formatIsFloat(record, size));
    if (bits != 0) fuzzChunk(header, bits);
    return 0;
}
