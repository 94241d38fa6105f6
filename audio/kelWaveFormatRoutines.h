#pragma once
// Routines that fill, convert, copy and compare wave format records. Pure
// functions over caller-owned blocks; any thread, no locks, nothing raised.
//
// A record handed in comes with `formatSize`, the bytes the caller holds at
// that address. Records read from files or the network may be short or carry
// a cbSize that runs past their block, so no routine reads beyond
// `formatSize`, and every copy is bounded by it and by the size the caller
// asks for (bytes that were not there are zero). A record shorter than the
// 18-byte header counts as no record.

#include "audio/kelFormatBlock.h"
#include "audio/kelWaveFormats.h"

#include <cstddef>
#include <cstdint>

// Writes a plain PCM header: tag 1, the rate, bits and channels, nBlockAlign
// = channels × bits / 8 (kept in 16 bits), nAvgBytesPerSec = nBlockAlign ×
// rate, cbSize 0. Returns `format` (null stays null).
WAVEFORMATEX* fillPCMFormat(WAVEFORMATEX* format, uint32_t samplesPerSec, uint16_t bitsPerSample,
                            uint16_t numChannels) noexcept;

// Makes `formatExt` a 40-byte extensible record: the PCM header with the
// container size (`containerBits`, or when 0 `validBits` rounded up to a
// multiple of 8), tag 0xFFFE, cbSize 22, wValidBitsPerSample = validBits,
// the channel mask (kelChannelMaskDefault gives the default for the channel
// count) and `subFormat`. Null when the block cannot grow.
WAVEFORMATEXTENSIBLE* fillFormatExt(kelFormatBlock& formatExt, const GUID& subFormat, uint32_t samplesPerSec,
                                    uint16_t containerBits, uint16_t validBits, uint16_t numChannels,
                                    uint32_t channelMask) noexcept;
// fillFormatExt with the PCM sub-format.
WAVEFORMATEXTENSIBLE* fillFormatExtPCM(kelFormatBlock& formatExt, uint32_t samplesPerSec,
                                       uint16_t containerBits, uint16_t validBits, uint16_t numChannels,
                                       uint32_t channelMask = kelChannelMaskDefault) noexcept;

// Describes `format` as an extensible record in `formatExt`: a PCM record
// (tag 1) becomes extensible PCM, an IEEE-float one (tag 3) extensible float,
// both with the container derived from wBitsPerSample, that many valid bits
// and the default mask; any other record (an extensible one too) is copied
// unchanged, cbSize + 18 bytes. Returns the block's record; null (block
// untouched) for no record or when memory is short.
WAVEFORMATEX* formatToFormatExt(kelFormatBlock& formatExt, const WAVEFORMATEX* format,
                                size_t formatSize) noexcept;

// Makes a plain record from an extensible one. A record that is not
// extensible (or has cbSize below 22) is copied unchanged into a block of
// `size` bytes (cbSize + 18 when 0); true. An extensible PCM or float record
// whose mask is a plain layout for its channel count (isPlainChannelMask), or
// any such record with `force`, becomes a plain PCM (tag 1) or float (tag 3)
// header with the container size as its bits, in a block of `size` bytes (at
// least 18); true. Anything else (a mask that is not plain without `force`,
// another sub-format, an extensible record cut short, no record) frees the
// block and gives false.
bool formatExtToFormat(const WAVEFORMATEX* formatExt, size_t formatExtSize, kelFormatBlock& format,
                       bool force = false, size_t size = 0) noexcept;

// Copies `format` into `copy`, sized `size` bytes (cbSize + 18 when 0), and
// returns that size. No record frees the block and gives 0; so does memory
// running short.
size_t duplicateFormat(const WAVEFORMATEX* format, size_t formatSize, kelFormatBlock& copy,
                       size_t size = 0) noexcept;

// True for a record with wBitsPerSample a non-zero multiple of 8 that is
// plain PCM (tag 1) or extensible (cbSize >= 22) with the PCM or the
// IEEE-float sub-format. A plain float record (tag 3) is not PCM here.
bool formatIsPCM(const WAVEFORMATEX* format, size_t formatSize) noexcept;

// True when tag, channels, rate and bits agree and, for a tag other than PCM,
// cbSize and the cbSize extra bytes are equal too. False when either record
// is missing or lacks the bytes its cbSize names.
bool sameFormat(const WAVEFORMATEX* a, size_t aSize, const WAVEFORMATEX* b, size_t bSize) noexcept;

// True when the record is IEEE float: tag 3, or extensible with the float
// sub-format.
bool formatIsFloat(const WAVEFORMATEX* format, size_t formatSize) noexcept;

// The sample size that the PCM routines take for the record's samples:
// wBitsPerSample, or kelPCMBitsFloat32 for 32-bit float; 0 for a record that
// formatIsPCM and tag 3 both reject.
uintptr_t formatSampleBits(const WAVEFORMATEX* format, size_t formatSize) noexcept;
