#include "core/kelCrc.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define KEL_CRC_CARRYLESS 1
#endif

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

#if KEL_CRC_CARRYLESS
// The same blocks by carry-less multiplication, where the processor has it.
// Read as polynomials, eight byte steps divide the block (with the running
// value added in) times x^32 by the generator: the steps' table indices are
// the bytes of the quotient up to an invertible map that keeps 0 at 0, so a
// block is clear of index 0 exactly when its quotient has no zero byte, and
// the new running value is the remainder. One multiplication by the
// reciprocal of the generator gives the quotient (Barrett's method), one by
// the generator the remainder. In the bit order of this CRC a product comes
// out shifted by one place, which the constants below absorb.

// The generator without its x^32 term, in the usual (unreflected) order.
constexpr uint64_t kGenerator = 0x04C11DB7u;

constexpr uint64_t reflect(uint64_t v, int bits)
{
    uint64_t r = 0;
    for (int i = 0; i < bits; ++i)
        r |= ((v >> i) & 1) << (bits - 1 - i);
    return r;
}

// floor(x^96 / P) without its x^64 term, P = x^32 + kGenerator, by long
// division: a 33-bit window runs down the dividend from its x^64 position.
constexpr uint64_t reciprocalLow()
{
    constexpr uint64_t p = (uint64_t{1} << 32) | kGenerator;
    uint64_t window = (uint64_t{1} << 32) ^ p; // the x^64 step, always taken
    uint64_t quotient = 0;
    for (int pos = 63; pos >= 0; --pos) {
        window <<= 1;
        if ((window >> 32) & 1) {
            quotient |= uint64_t{1} << pos;
            window ^= p;
        }
    }
    return quotient;
}
static_assert(reciprocalLow() == 0x04D101DF481B4E5Au);

// Multiplied by a block X (reflected), the low half of the product added to
// X is the reflected quotient.
constexpr uint64_t kQuotientFactor = reflect(reciprocalLow(), 64) << 1;
static_assert(kQuotientFactor == 0xB4E5B025F7011640u);
// Multiplied by a reflected quotient, bits 64..95 of the product are the
// reflected remainder.
constexpr uint64_t kRemainderFactor = reflect(kGenerator, 32) << 1;
static_assert(kRemainderFactor == uint64_t{0xEDB88320u} << 1);

// The running value moved over 16 bytes of zeros, by its bytes.
constexpr std::array<std::array<uint32_t, 256>, 4> makeZeroSteps(int zeros)
{
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (int j = 0; j < 4; ++j) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t value = i << (8 * j);
            for (int k = 0; k < zeros; ++k) {
                const uint32_t index = value & 0xFFu;
                value = (value >> 8) ^ (index == 0 ? 0u : kTable[index]);
            }
            t[j][i] = value;
        }
    }
    return t;
}

constexpr auto kOver16 = makeZeroSteps(16);

inline uint32_t overZeros(const std::array<std::array<uint32_t, 256>, 4>& t, uint32_t v) noexcept
{
    return t[0][v & 0xFFu] ^ t[1][(v >> 8) & 0xFFu] ^ t[2][(v >> 16) & 0xFFu] ^ t[3][v >> 24];
}

// A block X in the low half of a register: X plus the low half of X times
// the quotient factor, which is the reflected quotient.
[[gnu::target("pclmul")]] inline __m128i quotientOf(__m128i block, __m128i factor) noexcept
{
    return _mm_xor_si128(block, _mm_clmulepi64_si128(block, factor, 0x00));
}

// The remainder of a reflected quotient, in the low 32 bits (the product has
// no bits above 95, so the rest of the low half is 0).
[[gnu::target("pclmul")]] inline __m128i remainderOf(__m128i quotient, __m128i factor) noexcept
{
    return _mm_srli_si128(_mm_clmulepi64_si128(quotient, factor, 0x00), 8);
}

// The number of steps up to and including the first one whose quotient byte
// is 0, for a quotient that has one. The lowest byte the zero-byte test
// flags is always a zero byte (only bytes above a zero one can be flagged
// falsely).
inline size_t throughFirstZero(uint64_t quotient) noexcept
{
    const uint64_t flags = (quotient - kOnes) & ~quotient & kHighs;
    return static_cast<size_t>(std::countr_zero(flags) / 8 + 1);
}

inline uint64_t low64(__m128i v) noexcept
{
    return static_cast<uint64_t>(_mm_cvtsi128_si64(v));
}

inline __m128i fromValue(uint32_t v) noexcept
{
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

// Sixteen bytes a round. Only the table lookups that move the running value
// over the round depend on the previous round; the data's own part of the
// new value (its CRC from 0) and the quotients are worked out beside them. A half whose
// quotient has a zero byte takes the byte-wise loop from the value it starts
// with. Leaves fewer than 16 bytes; returns with `stopped` set on an early
// stop.
[[gnu::target("pclmul")]] uint32_t carrylessBlocks(uint32_t value, const uint8_t*& data, size_t& size,
                                                   bool& stopped) noexcept
{
    const __m128i toQuotient = _mm_cvtsi64_si128(static_cast<long long>(kQuotientFactor));
    const __m128i toRemainder = _mm_cvtsi64_si128(static_cast<long long>(kRemainderFactor));
    const uint8_t* p = data;
    size_t len = size;
    while (len >= 16) {
        const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8));
        const __m128i firstAlone = remainderOf(quotientOf(first, toQuotient), toRemainder);
        const __m128i bothAlone =
            remainderOf(quotientOf(_mm_xor_si128(second, firstAlone), toQuotient), toRemainder);
        const __m128i q1x = quotientOf(_mm_xor_si128(first, fromValue(value)), toQuotient);
        const __m128i middle = remainderOf(q1x, toRemainder); // right when q1 has no zero byte
        const uint64_t q1 = low64(q1x);
        const uint64_t q2 = low64(quotientOf(_mm_xor_si128(second, middle), toQuotient));
        // A zero byte of a quotient marks a step with index 0: the steps up
        // to it go byte by byte, and the rounds go on after it.
        size_t done = 16;
        if (hasZeroByte(q1)) {
            done = throughFirstZero(q1);
            value = byteSteps(value, p, done, stopped);
        } else if (hasZeroByte(q2)) {
            done = 8 + throughFirstZero(q2);
            value = byteSteps(static_cast<uint32_t>(low64(middle)), p + 8, done - 8, stopped);
        } else {
            value = overZeros(kOver16, value) ^ static_cast<uint32_t>(low64(bothAlone));
        }
        if (stopped) return 0;
        p += done;
        len -= done;
    }
    data = p;
    size = len;
    return value;
}

bool hasCarryless() noexcept
{
    static const bool has = __builtin_cpu_supports("pclmul");
    return has;
}
#endif

} // namespace

uint32_t libCrc32(const void* data, size_t len, uint32_t initial) noexcept
{
    if (data == nullptr || len == 0) return initial;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t value = initial;
    bool stopped = false;
#if KEL_CRC_CARRYLESS
    if (len >= 16 && hasCarryless()) {
        value = carrylessBlocks(value, p, len, stopped);
        if (stopped) return 0;
    }
#endif
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
