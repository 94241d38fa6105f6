#pragma once
// kelWaveFormat: the format block that audio components exchange through the
// pipe's format propagation. The layout is published (components compare
// blocks by CRC and the codec component extends this one), so the fields
// stay pointer-sized and in this order: 40 bytes on a 64-bit build.
//
//   offset  0  formatTag             1 = PCM, 6 = G.711 A-law, 7 = G.711 mu-law
//   offset  8  pcmSamplesPerSecond   a block is valid when this is non-zero
//   offset 16  pcmBitsPerSample
//   offset 24  pcmNumChannels
//   offset 32  formatChannelMask     speaker mask

#include <cstdint>

inline constexpr uintptr_t kelWaveFormatTagPCM = 1;
// G.711 bytes as they travel, one a sample (the bits field says 8).
inline constexpr uintptr_t kelWaveFormatTagALaw = 6;
inline constexpr uintptr_t kelWaveFormatTagMuLaw = 7;

struct kelPCMFormat
{
    uintptr_t pcmSamplesPerSecond = 0;
    uintptr_t pcmBitsPerSample = 0;
    uintptr_t pcmNumChannels = 0;
};

struct kelWaveFormat
{
    uintptr_t formatTag = 0;
    kelPCMFormat formatOriginal;
    uintptr_t formatChannelMask = 0;
};

static_assert(sizeof(kelPCMFormat) == 3 * sizeof(uintptr_t));
static_assert(sizeof(kelWaveFormat) == 5 * sizeof(uintptr_t));
static_assert(sizeof(void*) != 8 || sizeof(kelWaveFormat) == 40);
