#pragma once
// The platform's wave format records, declared with the platform's field
// names, order and widths, and the identifiers, speaker masks and format tags
// that go with them. Files and devices exchange these records byte for byte,
// so every record carries a static_assert on its size. The multi-byte fields
// are little-endian, as on the platform; the library builds only for
// little-endian machines. Only the records live here, so that the wave
// audio layer and the audio routines above it share one definition.
//
//   WAVEFORMATEX (18 bytes, then cbSize bytes of extra data)
//     0 wFormatTag  2 nChannels  4 nSamplesPerSec  8 nAvgBytesPerSec
//    12 nBlockAlign  14 wBitsPerSample  16 cbSize
//   WAVEFORMATEXTENSIBLE (40 bytes: cbSize 22)
//     0 Format (WAVEFORMATEX)  18 Samples (wValidBitsPerSample)
//    20 dwChannelMask  24 SubFormat (GUID)

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "wave format records are little-endian");

#pragma pack(push, 1)

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct WAVEFORMATEX
{
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};

struct WAVEFORMATEXTENSIBLE
{
    WAVEFORMATEX Format;
    union {
        uint16_t wValidBitsPerSample;
        uint16_t wSamplesPerBlock;
        uint16_t wReserved;
    } Samples;
    uint32_t dwChannelMask;
    GUID SubFormat;
};

#pragma pack(pop)

// One buffer queued on a wave device (its layout on a 64-bit build).
struct WAVEHDR
{
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(void*) != 8 || sizeof(WAVEHDR) == 48);

// Format tags.
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The extra bytes after the header of an extensible record.
inline constexpr uint16_t kelFormatExtExtraSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);

// Sub-format identifiers: 00000001- and 00000003-0000-0010-8000-00aa00389b71.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Speaker position bits of a channel mask; channels are interleaved in bit order.
inline constexpr uint32_t SPEAKER_FRONT_LEFT = 0x1;
inline constexpr uint32_t SPEAKER_FRONT_RIGHT = 0x2;
inline constexpr uint32_t SPEAKER_FRONT_CENTER = 0x4;
inline constexpr uint32_t SPEAKER_LOW_FREQUENCY = 0x8;
inline constexpr uint32_t SPEAKER_BACK_LEFT = 0x10;
inline constexpr uint32_t SPEAKER_BACK_RIGHT = 0x20;
inline constexpr uint32_t SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
inline constexpr uint32_t SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
inline constexpr uint32_t SPEAKER_BACK_CENTER = 0x100;
inline constexpr uint32_t SPEAKER_SIDE_LEFT = 0x200;
inline constexpr uint32_t SPEAKER_SIDE_RIGHT = 0x400;
inline constexpr uint32_t SPEAKER_TOP_CENTER = 0x800;
inline constexpr uint32_t SPEAKER_TOP_FRONT_LEFT = 0x1000;
inline constexpr uint32_t SPEAKER_TOP_FRONT_CENTER = 0x2000;
inline constexpr uint32_t SPEAKER_TOP_FRONT_RIGHT = 0x4000;
inline constexpr uint32_t SPEAKER_TOP_BACK_LEFT = 0x8000;
inline constexpr uint32_t SPEAKER_TOP_BACK_CENTER = 0x10000;
inline constexpr uint32_t SPEAKER_TOP_BACK_RIGHT = 0x20000;
