#include "core/kelCrc.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define KEL_CRC_CARRYLESS 1
// The instructions the carry-less rounds use: the multiplication, and the
// three-operand forms that spare the register copies.
#define KEL_CRC_TARGET "pclmul,avx2,bmi2"
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
[[gnu::target(KEL_CRC_TARGET)]] inline __m128i quotientOf(__m128i block, __m128i factor) noexcept
{
    return _mm_xor_si128(block, _mm_clmulepi64_si128(block, factor, 0x00));
}

// The remainder of a reflected quotient, in the low 32 bits (the product has
// no bits above 95, so the rest of the low half is 0).
[[gnu::target(KEL_CRC_TARGET)]] inline __m128i remainderOf(__m128i quotient, __m128i factor) noexcept
{
    return _mm_srli_si128(_mm_clmulepi64_si128(quotient, factor, 0x00), 8);
}

inline uint64_t low64(__m128i v) noexcept
{
    return static_cast<uint64_t>(_mm_cvtsi128_si64(v));
}

inline __m128i fromValue(uint32_t v) noexcept
{
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

// Sixteen bytes a round, split by linearity into what depends on the data
// alone and what depends on the running value. The data's part (its
// quotients and its CRC from 0, four multiplications in a chain) does not
// wait for earlier rounds. The value's part comes from tables: its 16
// quotient bytes and its move over the round. So the only chain from round
// to round is the tables' lookups, and a round's 16 quotient bytes are
// checked for a zero at once.
//
// A step with index 0 adds 0xAA to the value after it, which is the same as
// adding 0xAA to the next data byte: the quotient bytes after it and the
// value at the end of the round change by constants of the step's position.
// So a round with one such step is finished from the constants, after a
// check that the value after that step is not 0 (the early stop). A round
// with more (about one in 500) takes the byte-wise loop.
struct RoundTables
{
    // Quotient bytes of the steps of a round from a value, by its bytes.
    alignas(16) uint8_t valueQuotients[4][256][16];
    // The changes a step with index 0 at each position makes to the later
    // quotient bytes, and to the value at the end of the round.
    alignas(16) uint8_t stepQuotients[16][16];
    uint32_t stepValue[16];
};

[[gnu::target(KEL_CRC_TARGET)]] inline __m128i quotientsOf(__m128i first, __m128i second, __m128i toQuotient,
                                                           __m128i toRemainder, uint32_t& value) noexcept
{
    const __m128i q1 = quotientOf(first, toQuotient);
    const __m128i q2 = quotientOf(_mm_xor_si128(second, remainderOf(q1, toRemainder)), toQuotient);
    value = static_cast<uint32_t>(low64(remainderOf(q2, toRemainder)));
    return _mm_unpacklo_epi64(q1, q2);
}

[[gnu::target(KEL_CRC_TARGET)]] RoundTables makeRoundTables() noexcept
{
    const __m128i toQuotient = _mm_cvtsi64_si128(static_cast<long long>(kQuotientFactor));
    const __m128i toRemainder = _mm_cvtsi64_si128(static_cast<long long>(kRemainderFactor));
    RoundTables t{};
    uint32_t unused = 0;
    for (int j = 0; j < 4; ++j)
        for (uint32_t i = 0; i < 256; ++i)
            _mm_store_si128(
                reinterpret_cast<__m128i*>(t.valueQuotients[j][i]),
                quotientsOf(fromValue(i << (8 * j)), _mm_setzero_si128(), toQuotient, toRemainder, unused));
    for (int k = 0; k < 15; ++k) {
        uint8_t round[16] = {};
        round[k + 1] = 0xAA;
        const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(round));
        const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(round + 8));
        _mm_store_si128(reinterpret_cast<__m128i*>(t.stepQuotients[k]),
                        quotientsOf(first, second, toQuotient, toRemainder, t.stepValue[k]));
    }
    t.stepValue[15] = 0xAA; // the last step's 0xAA is carried into the next round
    return t;
}

const RoundTables& roundTables() noexcept
{
    static const RoundTables tables = makeRoundTables();
    return tables;
}

// The running value after the first `n` steps (1..16) of a round that has
// no index 0 before them, from the round's data and starting value. The
// bytes to be taken of the 8 in reach move to the top of a block, behind
// zeros, which leave a value of 0 as it is; the value's bytes they do not
// reach are only shifted down.
[[gnu::target(KEL_CRC_TARGET)]] uint32_t valueAfter(const uint8_t* round, uint32_t value, int n,
                                                    __m128i toQuotient, __m128i toRemainder) noexcept
{
    if (n > 8) {
        const uint64_t first = load64(round) ^ value;
        value = static_cast<uint32_t>(low64(remainderOf(
            quotientOf(_mm_cvtsi64_si128(static_cast<long long>(first)), toQuotient), toRemainder)));
        round += 8;
        n -= 8;
    }
    const uint64_t word = load64(round) ^ value;
    const uint64_t head = n == 8 ? word : word << (8 * (8 - n));
    const uint32_t rest = n < 4 ? value >> (8 * n) : 0u;
    const __m128i block = _mm_cvtsi64_si128(static_cast<long long>(head));
    return static_cast<uint32_t>(low64(remainderOf(quotientOf(block, toQuotient), toRemainder))) ^ rest;
}

// One round from its data's part: the value after it, or 0 with `stopped`
// set on an early stop.
[[gnu::target(KEL_CRC_TARGET), gnu::always_inline]] inline uint32_t
finishRound(const RoundTables& t, const uint8_t* p, uint32_t value, __m128i dataQuotients, uint32_t dataValue,
            __m128i toQuotient, __m128i toRemainder, bool& stopped) noexcept
{
    const auto row = [&t, value](int j) {
        return _mm_load_si128(
            reinterpret_cast<const __m128i*>(t.valueQuotients[j][(value >> (8 * j)) & 0xFFu]));
    };
    const __m128i zero = _mm_setzero_si128();
    const __m128i quotients = _mm_xor_si128(_mm_xor_si128(dataQuotients, row(0)),
                                            _mm_xor_si128(_mm_xor_si128(row(1), row(2)), row(3)));
    const uint32_t next = overZeros(kOver16, value) ^ dataValue;
    const auto zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(quotients, zero)));
    if (zeros == 0) [[likely]]
        return next;
    const int k = std::countr_zero(zeros);
    if (valueAfter(p, value, k + 1, toQuotient, toRemainder) == 0xAA) {
        stopped = true; // 0xAA added to it gives 0
        return 0;
    }
    const __m128i changed =
        _mm_xor_si128(quotients, _mm_load_si128(reinterpret_cast<const __m128i*>(t.stepQuotients[k])));
    const uint32_t later = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(changed, zero))) &
                           (0xFFFFu << (k + 1)) & 0xFFFFu;
    if (later == 0) return next ^ t.stepValue[k];
    return byteSteps(value, p, 16, stopped);
}

// Leaves fewer than 16 bytes; returns with `stopped` set on an early stop.
[[gnu::target(KEL_CRC_TARGET)]] uint32_t carrylessBlocks(uint32_t value, const uint8_t*& data, size_t& size,
                                                         bool& stopped) noexcept
{
    const RoundTables& t = roundTables();
    const __m128i toQuotient = _mm_cvtsi64_si128(static_cast<long long>(kQuotientFactor));
    const __m128i toRemainder = _mm_cvtsi64_si128(static_cast<long long>(kRemainderFactor));
    const uint8_t* p = data;
    size_t len = size;
    for (; len >= 16; p += 16, len -= 16) {
        const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const __m128i second = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8));
        uint32_t dataValue = 0;
        const __m128i dataQuotients = quotientsOf(first, second, toQuotient, toRemainder, dataValue);
        value = finishRound(t, p, value, dataQuotients, dataValue, toQuotient, toRemainder, stopped);
        if (stopped) return 0;
    }
    data = p;
    size = len;
    return value;
}

// Two rounds at a time where the processor multiplies in wider registers:
// their data's parts side by side, one round in each half. Only the low
// quadword of each half is read by the multiplications, so the round's
// second half may stay in the high one.
[[gnu::target(KEL_CRC_TARGET ",vpclmulqdq")]] uint32_t carrylessPairs(uint32_t value, const uint8_t*& data,
                                                                      size_t& size, bool& stopped) noexcept
{
    const RoundTables& t = roundTables();
    const __m128i toQuotient = _mm_cvtsi64_si128(static_cast<long long>(kQuotientFactor));
    const __m128i toRemainder = _mm_cvtsi64_si128(static_cast<long long>(kRemainderFactor));
    const __m256i wideQuotient = _mm256_broadcastsi128_si256(toQuotient);
    const __m256i wideRemainder = _mm256_broadcastsi128_si256(toRemainder);
    const uint8_t* p = data;
    size_t len = size;
    for (; len >= 32; p += 32, len -= 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i q1 = _mm256_xor_si256(first, _mm256_clmulepi64_epi128(first, wideQuotient, 0x00));
        const __m256i r1 = _mm256_srli_si256(_mm256_clmulepi64_epi128(q1, wideRemainder, 0x00), 8);
        const __m256i second = _mm256_xor_si256(_mm256_srli_si256(first, 8), r1);
        const __m256i q2 = _mm256_xor_si256(second, _mm256_clmulepi64_epi128(second, wideQuotient, 0x00));
        const __m256i r2 = _mm256_srli_si256(_mm256_clmulepi64_epi128(q2, wideRemainder, 0x00), 8);
        const __m256i quotients = _mm256_unpacklo_epi64(q1, q2);
        const auto valueA = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(r2)));
        const auto valueB = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(r2, 1)));
        value = finishRound(t, p, value, _mm256_castsi256_si128(quotients), valueA, toQuotient, toRemainder,
                            stopped);
        if (stopped) return 0;
        value = finishRound(t, p + 16, value, _mm256_extracti128_si256(quotients, 1), valueB, toQuotient,
                            toRemainder, stopped);
        if (stopped) return 0;
    }
    data = p;
    size = len;
    return carrylessBlocks(value, data, size, stopped);
}

bool hasWideCarryless() noexcept
{
    static const bool has = __builtin_cpu_supports("vpclmulqdq");
    return has;
}

bool hasCarryless() noexcept
{
    static const bool has =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
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
        value = hasWideCarryless() ? carrylessPairs(value, p, len, stopped)
                                   : carrylessBlocks(value, p, len, stopped);
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
