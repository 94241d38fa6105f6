#pragma once
// Conversion between one channel of an interleaved PCM block and 32-bit
// float samples, for the DSP automation. 8-bit samples are unsigned (silence
// 0x80), 16-bit signed, 24-bit signed in the low three bytes of a 4-byte
// container, 32-bit floats; all little-endian. Pure routines; any thread.

#include <cstdint>

// Bytes one sample of `bits` takes (24-bit samples sit in 4 bytes); 0 for an
// unsupported width.
int kelDspPcmContainerBytes(int bits) noexcept;

// Reads `n` samples of `channel` (stride `channels`) into `out`.
void kelDspPcmToFloat(const uint8_t* data, int bits, int channels, int channel, intptr_t n,
                      float* out) noexcept;

// Writes `n` samples into `channel` of the block. Samples are clamped to
// -1..1 first, and integer results to the width's range, so loud samples
// saturate instead of wrapping around.
void kelDspFloatToPcm(const float* in, int bits, int channels, int channel, intptr_t n,
                      uint8_t* data) noexcept;
