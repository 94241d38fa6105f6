#pragma once
// The rules of a wave component's PCM format record: reading its four values
// (with the component's defaults when there is no record), and rebuilding it
// when one value changes or a provider's format block arrives. Pure
// functions over a caller-owned block; the component serialises access.
//
// The channel mask follows the channel count (the default mask of the count)
// until a mask other than the marker kelChannelMaskDefault is set; from then
// on the set mask is kept when the other values change. Setting the marker
// again makes the mask follow the count once more.

#include "audio/kelFormatBlock.h"
#include "audio/kelWaveFormats.h"

#include <cstdint>

// The four values, indexed as the components' setPcmByIndex takes them.
enum kelPcmIndex : int {
    kelPcmSamplesPerSec = 0,
    kelPcmBitsPerSample = 1,
    kelPcmNumChannels = 2,
    kelPcmChannelMask = 3,
};

struct kelPcmValues
{
    uint32_t samplesPerSec = 44100;
    uint16_t bitsPerSample = 16;
    uint16_t numChannels = 2;
    uint32_t channelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
};

// The record's values: rate, valid bits (the container size for a plain
// record), channels and mask (the default mask of the count for a plain
// record). The defaults above without a record.
kelPcmValues kelPcmValuesOf(const kelFormatBlock& record) noexcept;

// True when the record already holds `value` at `index`: the marker counts
// as held while the mask follows the channel count and equals its default.
bool kelPcmRecordHolds(const kelFormatBlock& record, int index, uintptr_t value,
                       bool maskIsNotDefault) noexcept;

// True when `value` can stand at `index`: a rate of 1 to 2^32-1, bits and
// channels of 1 to 65535, a 32-bit mask (or the marker).
bool kelPcmValueFits(int index, uintptr_t value) noexcept;

// Rebuilds the record as extensible PCM (container derived from the valid
// bits) from its current values with the one at `index` replaced. The mask
// is the current one when `maskIsNotDefault`, else the marker (so the
// default of the channel count). False, record unchanged, for a bad index or
// value or when memory is short.
bool kelRebuildPcmRecord(kelFormatBlock& record, int index, uintptr_t value, bool maskIsNotDefault) noexcept;

// Rebuilds the record from a provider's format block values. False, record
// unchanged, when they do not fit a record (kelWaveFormatFitsRecord).
bool kelFillPcmRecord(kelFormatBlock& record, const kelWaveFormat& format) noexcept;

// The default record: PCM, 44100 Hz, 16 bits, 2 channels, default mask.
bool kelDefaultPcmRecord(kelFormatBlock& record) noexcept;

// The block a component offers: `tag` and the record's values.
kelWaveFormat kelWaveFormatOfRecord(uintptr_t tag, const kelFormatBlock& record) noexcept;

// True when both records describe the same rate, bits, channels and mask.
bool kelSamePcmValues(const kelFormatBlock& a, const kelFormatBlock& b) noexcept;
