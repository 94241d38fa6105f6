#include "audio/kelPCMChunk.h"

#include "audio/kelPCM.h"
#include "core/kelMemUtils.h"

#include <utility>

kelPCMChunk::~kelPCMChunk()
{
    freeChunk();
}

kelPCMChunk::kelPCMChunk(kelPCMChunk&& other) noexcept
    : chunkFormat(other.chunkFormat), chunkDataLen(std::exchange(other.chunkDataLen, 0)),
      chunkBufSize(std::exchange(other.chunkBufSize, 0)), chunkData(std::exchange(other.chunkData, nullptr))
{}

kelPCMChunk& kelPCMChunk::operator=(kelPCMChunk&& other) noexcept
{
    if (this != &other) {
        freeChunk();
        chunkFormat = other.chunkFormat;
        chunkDataLen = std::exchange(other.chunkDataLen, 0);
        chunkBufSize = std::exchange(other.chunkBufSize, 0);
        chunkData = std::exchange(other.chunkData, nullptr);
    }
    return *this;
}

uintptr_t kelPCMChunk::allocChunk(uintptr_t samples) noexcept
{
    const uintptr_t bits = pcmContainerBits(chunkFormat.pcmBitsPerSample);
    uintptr_t product = 0;
    // A crafted format could make the product wrap to a small buffer that
    // callers then fill with the full count.
    if (__builtin_mul_overflow(samples, bits, &product) ||
        __builtin_mul_overflow(product, chunkFormat.pcmNumChannels, &product))
        return 0;
    const uintptr_t bytes = product / 8;
    if (bytes == 0) {
        freeChunk();
        return 0;
    }
    void* grown = reallocMem(chunkData, bytes);
    if (grown == nullptr) return 0;
    chunkData = static_cast<uint8_t*>(grown);
    chunkBufSize = bytes;
    chunkDataLen = 0;
    return bytes;
}

uintptr_t kelPCMChunk::chunkSamples() const noexcept
{
    const uintptr_t bits = pcmContainerBits(chunkFormat.pcmBitsPerSample);
    const uintptr_t channels = chunkFormat.pcmNumChannels;
    uintptr_t frameBits = 0;
    // A product that wraps to 0 would divide by zero; one that wraps at all
    // would give a wrong count.
    if (bits == 0 || channels == 0 || __builtin_mul_overflow(bits, channels, &frameBits)) return 0;
    uintptr_t dataBits = 0;
    if (__builtin_mul_overflow(chunkDataLen, uintptr_t{8}, &dataBits)) return chunkDataLen / frameBits * 8;
    return dataBits / frameBits;
}

uintptr_t kelPCMChunk::convertChunk(kelPCMChunk& dst) const noexcept
{
    const kelPCMFormat& to = dst.chunkFormat;
    const uintptr_t frames = chunkSamples();
    const uintptr_t needed =
        convertPcmSize(frames, chunkFormat.pcmNumChannels, to.pcmNumChannels, chunkFormat.pcmBitsPerSample,
                       to.pcmBitsPerSample, chunkFormat.pcmSamplesPerSecond, to.pcmSamplesPerSecond);
    if (needed > dst.chunkBufSize) {
        dst.chunkDataLen = 0;
        return 0;
    }
    const uintptr_t written = convertPcm(chunkData, dst.chunkData, frames, chunkFormat.pcmNumChannels,
                                         to.pcmNumChannels, chunkFormat.pcmBitsPerSample, to.pcmBitsPerSample,
                                         chunkFormat.pcmSamplesPerSecond, to.pcmSamplesPerSecond);
    dst.chunkDataLen = written;
    return written;
}

void kelPCMChunk::freeChunk() noexcept
{
    freeMem(chunkData);
    chunkData = nullptr;
    chunkDataLen = 0;
    chunkBufSize = 0;
}
