#pragma once
// The fixed-point basic operators of the ITU-T/3GPP reference arithmetic
// (3GPP TS 26.073, ITU-T G.191), shared by the voice activity detector and
// the G.722.1 coder, as constexpr functions on int16_t (a "word") and int32_t (a "long
// word"). They saturate where the reference saturates, so code written with
// them reproduces the reference's results bit for bit, and they are free of
// undefined behaviour: every intermediate is computed wide enough, and right
// shifts of negative values are arithmetic (guaranteed since C++20).
//
// Pure functions; any thread.

#include <cstdint>

namespace kelBasicOp {

inline constexpr int16_t kMax16 = 32767;
inline constexpr int16_t kMin16 = -32768;
inline constexpr int32_t kMax32 = 2147483647;
inline constexpr int32_t kMin32 = -2147483647 - 1;

constexpr int16_t saturate16(int64_t value) noexcept
{
    return value > kMax16 ? kMax16 : value < kMin16 ? kMin16 : static_cast<int16_t>(value);
}

constexpr int32_t saturate32(int64_t value) noexcept
{
    return value > kMax32 ? kMax32 : value < kMin32 ? kMin32 : static_cast<int32_t>(value);
}

constexpr int16_t add(int16_t a, int16_t b) noexcept
{
    return saturate16(int32_t(a) + b);
}

constexpr int16_t sub(int16_t a, int16_t b) noexcept
{
    return saturate16(int32_t(a) - b);
}

// -a, with -32768 giving 32767.
constexpr int16_t negate(int16_t a) noexcept
{
    return a == kMin16 ? kMax16 : static_cast<int16_t>(-a);
}

// |a|, with -32768 giving 32767.
constexpr int16_t abs_s(int16_t a) noexcept
{
    return a == kMin16 ? kMax16 : a < 0 ? static_cast<int16_t>(-a) : a;
}

constexpr int16_t shl(int16_t x, int16_t n) noexcept;

// Arithmetic right shift by n; n >= 15 leaves the sign (-1 or 0), a negative
// n shifts left by -n (at most 16).
constexpr int16_t shr(int16_t x, int16_t n) noexcept
{
    if (n < 0) return shl(x, static_cast<int16_t>(n < -16 ? 16 : -n));
    if (n >= 15) return x < 0 ? -1 : 0;
    return static_cast<int16_t>(x >> n);
}

// x * 2^n, saturated; a negative n shifts right by -n (at most 16).
constexpr int16_t shl(int16_t x, int16_t n) noexcept
{
    if (n < 0) return shr(x, static_cast<int16_t>(n < -16 ? 16 : -n));
    if (x == 0) return 0;
    if (n > 15) return x < 0 ? kMin16 : kMax16;
    return saturate16(int64_t(x) * (int64_t(1) << n));
}

// The Q15 product, floored: floor(a * b / 32768), saturated (only
// -32768 * -32768 saturates).
constexpr int16_t mult(int16_t a, int16_t b) noexcept
{
    return saturate16((int32_t(a) * b) >> 15);
}

// The Q15 product, rounded: floor((a * b + 16384) / 32768), saturated.
constexpr int16_t mult_r(int16_t a, int16_t b) noexcept
{
    return saturate16((int32_t(a) * b + 16384) >> 15);
}

// 2 * a * b, with -32768 * -32768 saturating to 2^31 - 1.
constexpr int32_t L_mult(int16_t a, int16_t b) noexcept
{
    return saturate32(int64_t(a) * b * 2);
}

// a * b, without the doubling (never saturates).
constexpr int32_t L_mult0(int16_t a, int16_t b) noexcept
{
    return int32_t(a) * b;
}

constexpr int32_t L_add(int32_t a, int32_t b) noexcept
{
    return saturate32(int64_t(a) + b);
}

constexpr int32_t L_sub(int32_t a, int32_t b) noexcept
{
    return saturate32(int64_t(a) - b);
}

// acc ± L_mult(a, b): the product saturates first, then the sum.
constexpr int32_t L_mac(int32_t acc, int16_t a, int16_t b) noexcept
{
    return L_add(acc, L_mult(a, b));
}

// acc + a * b (no doubling), saturated.
constexpr int32_t L_mac0(int32_t acc, int16_t a, int16_t b) noexcept
{
    return saturate32(int64_t(acc) + int32_t(a) * b);
}

constexpr int32_t L_msu(int32_t acc, int16_t a, int16_t b) noexcept
{
    return L_sub(acc, L_mult(a, b));
}

constexpr int32_t L_shl(int32_t x, int16_t n) noexcept;

// Arithmetic right shift; n >= 31 leaves the sign, a negative n shifts left
// by -n (at most 32).
constexpr int32_t L_shr(int32_t x, int16_t n) noexcept
{
    if (n < 0) return L_shl(x, static_cast<int16_t>(n < -32 ? 32 : -n));
    if (n >= 31) return x < 0 ? -1 : 0;
    return x >> n;
}

// Doubles x n times, saturating as soon as a doubling would overflow; a
// non-positive n shifts right by -n (at most 32).
constexpr int32_t L_shl(int32_t x, int16_t n) noexcept
{
    if (n <= 0) return L_shr(x, static_cast<int16_t>(n < -32 ? 32 : -n));
    for (; n > 0; --n) {
        if (x > 0x3FFFFFFF) return kMax32;
        if (x < -0x40000000) return kMin32;
        x *= 2;
    }
    return x;
}

// The lower word, wrapped.
constexpr int16_t extract_l(int32_t x) noexcept
{
    return static_cast<int16_t>(x);
}

constexpr int16_t extract_h(int32_t x) noexcept
{
    return static_cast<int16_t>(x >> 16);
}

constexpr int32_t L_deposit_h(int16_t x) noexcept
{
    return int32_t(x) * 65536;
}

// The upper word of x + 0x8000, saturated.
constexpr int16_t round_fx(int32_t x) noexcept
{
    return extract_h(L_add(x, 0x8000));
}

// The left shifts that bring x to 16384 .. 32767 (negative x is complemented
// first); 0 for 0 and 15 for -1.
constexpr int16_t norm_s(int16_t x) noexcept
{
    if (x == 0) return 0;
    if (x == -1) return 15;
    int32_t v = x < 0 ? ~int32_t(x) : x;
    int16_t n = 0;
    while (v < 0x4000) {
        v <<= 1;
        ++n;
    }
    return n;
}

// floor(32768 * n / d) by 15-step restoring division, for 0 <= n <= d and
// d > 0; n == d gives 32767. Arguments outside that range give 0 (the
// reference stops the program there).
constexpr int16_t div_s(int16_t n, int16_t d) noexcept
{
    if (n <= 0 || d <= 0 || n > d) return 0;
    if (n == d) return kMax16;
    int32_t num = n;
    const int32_t denom = d;
    int16_t out = 0;
    for (int i = 0; i < 15; ++i) {
        out = static_cast<int16_t>(out << 1);
        num <<= 1;
        if (num >= denom) {
            num -= denom;
            out = static_cast<int16_t>(out + 1);
        }
    }
    return out;
}

} // namespace kelBasicOp
