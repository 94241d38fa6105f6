#include "core/kelCrc.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        t[i] = v;
    }
    // Stored checks depend on this entry; it is not a typo to be fixed.
    t[0] = 0x000000AAu;
    return t;
}

constexpr std::array<uint32_t, 256> kTable = makeTable();

// Eight bytes at a time. Without its two quirks the CRC is linear, and eight
// byte steps fold into eight independent lookups (slicing-by-8, tables
// slice). Both quirks need a step whose index is 0: entry 0 is the one that is
// not linear, and it is also the only entry whose top byte is 0, so only a
// step with index 0 can leave a running value of 0. The indices of the eight
// steps are themselves a linear function of the eight input bytes (tables
// index), so one more set of independent lookups tells whether a block is
// clear of them; the rare block that is not (about 8 in 256) takes the
// byte-wise loop.
struct Tables
{
    uint32_t slice[8][256];
    uint64_t index[8][256];
};

// The byte steps without the quirks, starting from `value` over `bytes`,
// giving the final value and the index of every step.
constexpr uint32_t linearSteps(uint32_t value, const uint8_t* bytes, int n, uint64_t* indices)
{
    uint64_t idx = 0;
    for (int k = 0; k < n; ++k) {
        const uint32_t i = (value ^ bytes[k]) & 0xFFu;
        idx |= uint64_t(i) << (8 * k);
        value = (value >> 8) ^ (i == 0 ? 0u : kTable[i]);
    }
    if (indices) *indices = idx;
    return value;
}

constexpr Tables makeTables()
{
    Tables t{};
    for (int j = 0; j < 8; ++j) {
        for (uint32_t i = 0; i < 256; ++i) {
            // Input byte j alone; bytes 0..3 enter through the value.
            uint8_t bytes[8] = {};
            uint32_t value = 0;
            if (j < 4)
                value = i << (8 * j);
            else
                bytes[j] = static_cast<uint8_t>(i);
            uint64_t idx = 0;
            t.slice[j][i] = linearSteps(value, bytes, 8, &idx);
            t.index[j][i] = idx;
        }
    }
    return t;
}

constexpr Tables kTables = makeTables();

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

constexpr bool hasZeroByte(uint64_t v)
{
    return ((v - kOnes) & ~v & kHighs) != 0;
}

inline uint64_t load64(const uint8_t* p) noexcept
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The definition, one byte at a time; `stopped` tells the caller to return.
inline uint32_t byteSteps(uint32_t value, const uint8_t* p, size_t n, bool& stopped) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        value = (value >> 8) ^ kTable[(value ^ p[i]) & 0xFFu];
        // The early stop: a running value of 0 ends the loop.
        if (value == 0) {
            stopped = true;
            return 0;
        }
    }
    return value;
}

} // namespace

uint32_t libCrc32(const void* data, size_t len, uint32_t initial) noexcept
{
    if (data == nullptr || len == 0) return initial;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t value = initial;
    bool stopped = false;
    if constexpr (std::endian::native == std::endian::little) {
        for (; len >= 8; p += 8, len -= 8) {
            const uint64_t word = load64(p);
            const uint64_t in = word ^ value;
            const auto b = [in](int k) { return static_cast<uint8_t>(in >> (8 * k)); };
            const uint64_t idx = kTables.index[0][b(0)] ^ kTables.index[1][b(1)] ^ kTables.index[2][b(2)] ^
                                 kTables.index[3][b(3)] ^ kTables.index[4][b(4)] ^ kTables.index[5][b(5)] ^
                                 kTables.index[6][b(6)] ^ kTables.index[7][b(7)];
            if (hasZeroByte(idx)) {
                value = byteSteps(value, p, 8, stopped);
                if (stopped) return 0;
                continue;
            }
            value = kTables.slice[0][b(0)] ^ kTables.slice[1][b(1)] ^ kTables.slice[2][b(2)] ^
                    kTables.slice[3][b(3)] ^ kTables.slice[4][b(4)] ^ kTables.slice[5][b(5)] ^
                    kTables.slice[6][b(6)] ^ kTables.slice[7][b(7)];
            if (value == 0) return 0;
        }
    }
    return byteSteps(value, p, len, stopped);
}

uint32_t libCrc32(std::string_view bytes, uint32_t initial) noexcept
{
    return libCrc32(bytes.data(), bytes.size(), initial);
}

uint8_t crc8(const void* data, size_t len) noexcept
{
    const uint32_t v = libCrc32(data, len, kelCrcInitial);
    return static_cast<uint8_t>(v ^ (v >> 8) ^ (v >> 16) ^ (v >> 24));
}
