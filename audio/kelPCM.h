#pragma once
// Routines that read, write, mix, measure, scale and convert raw PCM. Free
// functions over caller-owned buffers: none allocates, none locks, any thread
// (callers serialise access to their buffers).
//
// Buffers hold interleaved frames of `channels` samples. Sample sizes (the
// `bits` arguments): 8 (unsigned, 128 is silence), 16, 24 and 32 (signed,
// little-endian), and kelPCMBitsFloat32 (IEEE float, full scale ±1.0). Other
// sizes read as 0 and are not written. Every routine works on a widened
// signed 32-bit value per sample:
//
//   8 bits:  (byte - 128) << 24     16 bits: sample << 16
//   24 bits: sample << 8            32 bits: the sample
//   float:   sample × 2^31, clipped (NaN reads as 0)
//
// Results are computed in 64 bits, clipped to the 32-bit range and narrowed
// by dividing with truncation toward zero (8 bits then adds 128); float
// stores the clipped value / 2^31.
//
// "Samples" counts frames unless a routine says otherwise. A guard that fails
// returns 0 and leaves the buffers untouched; the caller sizes every buffer.

#include <cstddef>
#include <cstdint>

// The sample size of 32-bit IEEE float samples. It lies above any 16-bit
// bits-per-sample field, so no record's integer size can be taken for it.
inline constexpr uintptr_t kelPCMBitsFloat32 = 0x10020;

// Bytes of one sample of a supported size (1, 2, 3 or 4); 0 otherwise.
constexpr size_t pcmSampleBytes(uintptr_t bits) noexcept
{
    switch (bits) {
    case 8:
        return 1;
    case 16:
        return 2;
    case 24:
        return 3;
    case 32:
        return 4;
    case kelPCMBitsFloat32:
        return 4;
    default:
        return 0;
    }
}

// The bits a sample takes in a buffer: 32 for float, `bits` otherwise.
constexpr uintptr_t pcmContainerBits(uintptr_t bits) noexcept
{
    return bits == kelPCMBitsFloat32 ? 32 : bits;
}

// The sample at `position` on the widened scale; `position` moves past it
// (not for an unsupported size, which reads 0).
int32_t readSample(uintptr_t bits, const uint8_t*& position) noexcept;
// Clips `value` to 32 bits, narrows it to `bits` and stores it at `position`,
// which moves past it (an unsupported size stores nothing and stays).
void writeSample(uintptr_t bits, int64_t value, uint8_t*& position) noexcept;

// out = a + b (or a - b without `add`) for samples × channels values, each
// side at its own sample size; clipping happens only when narrowing. `out`
// may be `a` or `b`, also with a wider sample size (that buffer then holds
// the wider result). Returns samples × channels; 0 for a missing buffer, no
// values or a size below 8.
size_t mixPcm(const void* a, const void* b, void* out, size_t samples, uintptr_t bitsA, uintptr_t bitsB,
              uintptr_t bitsOut, bool add, size_t channels) noexcept;

// The mean magnitude of one channel over `samples` frames, scaled so that a
// full-scale signal gives 65536 and silence 0. With `delta` each term is the
// distance of the sample from the previous term (not the previous sample:
// terms build on each other, so this measure is not bounded by 65536). 0 for bits below 8, no
// samples or channels, or a channel out of range.
uint32_t channelVolume(const void* data, size_t samples, uintptr_t bits, size_t channels, size_t channel,
                       bool delta) noexcept;

// A level (channelVolume's 0 .. 32768 range) on a square-root scale of
// 0 .. 300, and of 0 .. 100 (a third of it).
int logVolume300(int64_t level) noexcept;
int logVolume100(int64_t level) noexcept;

// Copies one channel of interleaved `src` to the contiguous `dst`, and back.
// Return `samples`; 0 for bits below 8, no samples or channels, or a channel
// out of range.
size_t extractChannel(const void* src, void* dst, size_t samples, uintptr_t bits, size_t channels,
                      size_t channel) noexcept;
size_t insertChannel(void* dst, const void* src, size_t samples, uintptr_t bits, size_t channels,
                     size_t channel) noexcept;

// Scales samples in place by percent / 100, truncating toward zero and
// clipping. A channel >= 0 scales that channel over `samples` frames; a
// negative one scales `samples` consecutive values (all channels). 100
// leaves the data untouched. Returns `samples`; 0 for no samples, bits or
// channels, or a channel out of range.
size_t applyGain(intptr_t percent, void* data, size_t samples, uintptr_t bits, size_t channels,
                 intptr_t channel) noexcept;

// Converts `frames` frames by nearest neighbour: source frames repeat when
// the rate goes up and are dropped when it goes down (ceil(frames × dstRate /
// srcRate) frames out); each source sample is written dstChannels /
// srcChannels times in a row (none when the destination has fewer channels).
// Equal formats copy the bytes. Returns the bytes written; 0 for a missing
// buffer, a size below 8, a zero count or rate, or rates that would make
// more than 2^36 frames.
size_t convertPcm(const void* src, void* dst, size_t frames, size_t srcChannels, size_t dstChannels,
                  uintptr_t srcBits, uintptr_t dstBits, uintptr_t srcRate, uintptr_t dstRate) noexcept;

// The bytes convertPcm writes for those arguments, so that a caller can size
// the destination first.
size_t convertPcmSize(size_t frames, size_t srcChannels, size_t dstChannels, uintptr_t srcBits,
                      uintptr_t dstBits, uintptr_t srcRate, uintptr_t dstRate) noexcept;
