#pragma once
// The format blocks audio components exchange through the pipe's format
// propagation, and the checks that a block from a provider must pass before
// a component takes it.
//
// Two layouts (little-endian, 64-bit build):
//
//   offset  size  field
//        0    40  kelWaveFormat: formatTag, samples per second, bits per
//                 sample, channels, channel mask (pointer-sized each)
//   --- the codec block only ---
//       40     4  driver mode (kelAcmCodecDriverMode, 32-bit)
//       44   130  driver library name: ANSI, zero-padded, at most 129
//                 characters
//                 (174 bytes in all)
//
// A provider may be a network peer, so a block is read as untrusted input:
// nothing is read past the block's length, the library name stops at the
// block's end and at its field, and a name that is not a bare file name
// (one that names a directory, a drive or a parent) is not taken, because
// the component would hand it to the library loader.

#include "components/kelWaveDriverTypes.h"
#include "pipes/kelWaveFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kelWaveFormatBlockSize = sizeof(kelWaveFormat);
inline constexpr size_t kelCodecBlockDriverModeOffset = kelWaveFormatBlockSize;
inline constexpr size_t kelCodecBlockLibraryOffset = kelCodecBlockDriverModeOffset + 4;
inline constexpr size_t kelCodecBlockLibraryField = 130;
inline constexpr size_t kelCodecBlockLibraryMaxChars = kelCodecBlockLibraryField - 1;
inline constexpr size_t kelCodecFormatBlockSize = kelCodecBlockLibraryOffset + kelCodecBlockLibraryField;
static_assert(sizeof(void*) != 8 || kelCodecFormatBlockSize == 174);

// What a provider's block says.
struct kelWaveFormatBlockContent
{
    kelWaveFormat format{};
    // A codec block with a usable driver part: a mode of 1 to 3 and a library
    // name that is empty or a bare file name.
    bool hasDriver = false;
    kelAcmCodecDriverMode driverMode = kelcdm_acm;
    std::string driverLibrary;
    // The block carried a driver part that was not taken: a mode outside the
    // known ones or a library name that is a path.
    bool driverRefused = false;
};

// Reads a block of `len` bytes. False for no block or one shorter than 40
// bytes (`out` untouched). A block longer than 173 bytes with a non-zero
// driver mode has its driver part read as described above.
bool kelReadWaveFormatBlock(const void* data, size_t len, kelWaveFormatBlockContent& out);

// True when the block's rate, bits and channels make a wave format record
// (kelPcmValuesFit) and its mask fits 32 bits.
bool kelWaveFormatFitsRecord(const kelWaveFormat& format) noexcept;

// True for a name the library loader may be given: not empty, no directory
// separator, no drive, not "." or "..", no control characters.
bool kelIsBareLibraryName(std::string_view name) noexcept;

// The 40-byte block; returns its size.
uint32_t kelWriteWaveFormatBlock(const kelWaveFormat& format, std::vector<uint8_t>& out);
// The 174-byte codec block; a library name longer than 129 characters is
// cut there. Returns its size.
uint32_t kelWriteCodecFormatBlock(const kelWaveFormat& format, kelAcmCodecDriverMode driverMode,
                                  std::string_view driverLibrary, std::vector<uint8_t>& out);
