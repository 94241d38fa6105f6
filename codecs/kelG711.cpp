#include "codecs/kelG711.h"

#include <array>

namespace {

// The compressors work on the magnitude with one's complement for negative
// samples (-1 has magnitude 0), which is what keeps A-law symmetric around
// the zero code pair 0x55/0xD5 and makes µ-law code 0 as 0xFF.
constexpr int magnitudeOf(int16_t sample)
{
    return sample < 0 ? ~int(sample) : int(sample);
}

constexpr uint8_t alawOf(int16_t sample)
{
    int ix = magnitudeOf(sample) >> 4; // 0..2047
    if (ix > 15) {
        int exponent = 1;
        while (ix > 16 + 15) {
            ix >>= 1;
            ++exponent;
        }
        ix -= 16;
        ix += exponent << 4;
    }
    if (sample >= 0) ix |= 0x80;
    return uint8_t(ix ^ 0x55);
}

constexpr uint8_t ulawOf(int16_t sample)
{
    int biased = (magnitudeOf(sample) >> 2) + 33;
    if (biased > 0x1FFF) biased = 0x1FFF;
    int segment = 1;
    for (int i = biased >> 6; i != 0; i >>= 1)
        ++segment;
    const int highNibble = 0x08 - segment;
    const int lowNibble = 0x0F - ((biased >> segment) & 0x0F);
    int code = (highNibble << 4) | lowNibble;
    if (sample >= 0) code |= 0x80;
    return uint8_t(code);
}

constexpr int16_t alawValue(uint8_t code)
{
    const int ix = (code ^ 0x55) & 0x7F;
    const int exponent = ix >> 4;
    int mantissa = ix & 0x0F;
    if (exponent > 0) mantissa += 16;
    mantissa = (mantissa << 4) + 0x08; // the middle of the quantisation interval
    if (exponent > 1) mantissa <<= exponent - 1;
    return int16_t(code > 127 ? mantissa : -mantissa);
}

constexpr int16_t ulawValue(uint8_t code)
{
    const int inverted = ~int(code);
    const int exponent = (inverted >> 4) & 0x07;
    const int mantissa = inverted & 0x0F;
    const int step = 4 << (exponent + 1);
    const int magnitude = (0x80 << exponent) + step * mantissa + step / 2 - 4 * 33;
    return int16_t(code < 0x80 ? -magnitude : magnitude);
}

// Expansion has only 256 inputs: tables make it a load per sample.
template <int16_t (*F)(uint8_t)> constexpr std::array<int16_t, 256> expandTable()
{
    std::array<int16_t, 256> t{};
    for (int i = 0; i < 256; ++i)
        t[size_t(i)] = F(uint8_t(i));
    return t;
}

constexpr auto kAlawTable = expandTable<alawValue>();
constexpr auto kUlawTable = expandTable<ulawValue>();

// A compressed code depends only on the sample shifted right arithmetically
// (by 4 for A-law, by 2 for µ-law): the one's complement of a negative sample
// commutes with that shift. So compression is one load from a table of 4096
// or 16384 codes, indexed by the shifted sample's low bits.
constexpr int kAlawShift = 4;
constexpr int kUlawShift = 2;

template <size_t N, int Shift, uint8_t (*F)(int16_t)> std::array<uint8_t, N> compressTable()
{
    std::array<uint8_t, N> t{};
    for (int i = 0; i < 65536; i += 1 << Shift) {
        const auto sample = int16_t(i - 32768);
        t[size_t(sample >> Shift) & (N - 1)] = F(sample);
    }
    return t;
}

const std::array<uint8_t, 4096>& alawCompressTable()
{
    static const auto table = compressTable<4096, kAlawShift, alawOf>();
    return table;
}

const std::array<uint8_t, 16384>& ulawCompressTable()
{
    static const auto table = compressTable<16384, kUlawShift, ulawOf>();
    return table;
}

} // namespace

uint8_t alawCompressSample(int16_t sample) noexcept
{
    return alawCompressTable()[size_t(sample >> kAlawShift) & 4095];
}

uint8_t ulawCompressSample(int16_t sample) noexcept
{
    return ulawCompressTable()[size_t(sample >> kUlawShift) & 16383];
}

int16_t alawExpandSample(uint8_t code) noexcept
{
    return kAlawTable[code];
}

int16_t ulawExpandSample(uint8_t code) noexcept
{
    return kUlawTable[code];
}

void alawCompress(size_t count, const int16_t* samples, uint8_t* out) noexcept
{
    if (samples == nullptr || out == nullptr) return;
    const auto& table = alawCompressTable();
    for (size_t i = 0; i < count; ++i)
        out[i] = table[size_t(samples[i] >> kAlawShift) & 4095];
}

void ulawCompress(size_t count, const int16_t* samples, uint8_t* out) noexcept
{
    if (samples == nullptr || out == nullptr) return;
    const auto& table = ulawCompressTable();
    for (size_t i = 0; i < count; ++i)
        out[i] = table[size_t(samples[i] >> kUlawShift) & 16383];
}

void alawExpand(size_t count, const uint8_t* bytes, int16_t* out) noexcept
{
    if (bytes == nullptr || out == nullptr) return;
    for (size_t i = 0; i < count; ++i)
        out[i] = kAlawTable[bytes[i]];
}

void ulawExpand(size_t count, const uint8_t* bytes, int16_t* out) noexcept
{
    if (bytes == nullptr || out == nullptr) return;
    for (size_t i = 0; i < count; ++i)
        out[i] = kUlawTable[bytes[i]];
}
