#pragma once
// The wave format records (platform/kelWaveRecords.h) with the default and
// plain channel masks of the audio routines.

#include "platform/kelWaveRecords.h"
#include "pipes/kelWaveFormat.h"

#include <cstdint>

static_assert(sizeof(void*) != 8 || sizeof(kelWaveFormat) == 40);
static_assert(sizeof(void*) != 8 || sizeof(kelPCMFormat) == 24);

// Passed as a channel mask, it asks for the default mask of the channel
// count (defaultChannelMask); it never stays in a stored record.
inline constexpr uint32_t kelChannelMaskDefault = 0xA0000000u;

// The default mask for a channel count: 1 front centre; 2 front left and
// right; 3 those and front centre; 4 adds back centre (0x107); 6 is 5.1
// (0x3F); 8 adds the two front-of-centre speakers (0xFF); 0 for any other count.
uint32_t defaultChannelMask(unsigned numChannels) noexcept;

// True for the masks that a plain WAVEFORMATEX stands for with that channel
// count: 1: 0x4; 2: 0x3; 3: 0x7; 4: 0x33 or 0x107; 6: 0x3F or 0x60F; 8: 0xFF
// or 0x63F. False for every other count or mask.
bool isPlainChannelMask(unsigned numChannels, uint32_t channelMask) noexcept;
