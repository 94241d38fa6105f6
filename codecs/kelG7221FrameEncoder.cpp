#include "codecs/kelG7221Frame.h"

#include "codecs/kelDCT_IV.h"
#include "codecs/kelG7221Bits.h"
#include "codecs/kelG7221Tables.h"
#include "codecs/kelMTLVector.h"
#include "core/kel3GPPBasicOps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace kelBasicOp;

namespace {

constexpr int kRegionSize = kelMTLVector::regionSize;
constexpr int kMaxRegions = kelMTLVector::maxRegions;
// The transform is scaled so that region power index + 7 is the coded
// absolute power of region 0 (kept in 1..31; 0 is reserved).
constexpr int16_t kRmsAdjustment = 7;
constexpr int16_t kDiffMax = 11;
constexpr int16_t kDiffMin = -12;
// Room for one region's vectors: at most 10 vectors of 16 code and 2 sign bits.
constexpr int kRegionBitBytes = 32;

struct Envelope
{
    int16_t index[kMaxRegions];
    int16_t codeBits[kMaxRegions];
    uint16_t code[kMaxRegions];
    int bits = 0;
};

// Quantises each region's power (log2 of its energy in 3.01 dB steps),
// raises valleys so that every difference fits the codes, and codes the
// differences. The indices left in `env` are the decoder's.
void computeEnvelope(const int16_t* coefs, int16_t magShift, int regions, Envelope& env) noexcept
{
    for (int r = 0; r < regions; ++r) {
        int32_t energy = 0;
        for (int j = 0; j < kRegionSize; ++j) {
            const int16_t c = coefs[r * kRegionSize + j];
            energy = L_mac0(energy, c, c);
        }
        int16_t powerShift = 0;
        while ((energy & 0x7fff0000) > 0) {
            energy = L_shr(energy, 1);
            powerShift = add(powerShift, 1);
        }
        while (L_sub(energy, 32767) <= 0 && add(powerShift, 15) >= 0) {
            energy = L_shl(energy, 1);
            powerShift = sub(powerShift, 1);
        }
        energy = L_shr(energy, 1);
        // 28963: the square root of 2 times the region size, in the same scale.
        if (L_sub(energy, 28963) >= 0) powerShift = add(powerShift, 1);
        const int32_t value = L_add(35, L_sub(powerShift, L_shl(magShift, 1)));
        env.index[r] = extract_l(L_sub(value, kelMTLVector::powerTableNegatives));
    }

    for (int r = regions - 2; r >= 0; --r) {
        const int16_t floor = sub(env.index[r + 1], kDiffMax);
        if (sub(env.index[r], floor) < 0) env.index[r] = floor;
    }
    const int16_t low0 = sub(1, kRmsAdjustment), high = sub(31, kRmsAdjustment);
    if (env.index[0] < low0) env.index[0] = low0;
    if (env.index[0] > high) env.index[0] = high;
    env.codeBits[0] = 5;
    env.code[0] = uint16_t(add(env.index[0], kRmsAdjustment));
    env.bits = 5;
    const int16_t low = sub(-8, kRmsAdjustment);
    for (int r = 1; r < regions; ++r) {
        if (env.index[r] < low) env.index[r] = low;
        if (env.index[r] > high) env.index[r] = high;
    }
    for (int r = 1; r < regions; ++r) {
        int16_t d = sub(env.index[r], env.index[r - 1]);
        if (sub(d, kDiffMin) < 0) d = kDiffMin;
        d = sub(d, kDiffMin);
        env.index[r] = add(add(env.index[r - 1], d), kDiffMin);
        env.codeBits[r] = kelG7221_differential_region_power_bits[r][d];
        env.code[r] = kelG7221_differential_region_power_codes[r][d];
        env.bits += env.codeBits[r];
    }
}

// Regions louder than the quantiser's range are scaled down by powers of
// two, and their index lowered to match.
void scaleLoudRegions(int16_t* stdDevIndex, int16_t* coefs, int regions) noexcept
{
    for (int r = 0; r < regions; ++r) {
        const int16_t n = shr(sub(stdDevIndex[r], 39), 1);
        if (n <= 0) continue;
        for (int j = 0; j < kRegionSize; ++j) {
            int16_t& c = coefs[r * kRegionSize + j];
            int32_t acca = L_add(L_shl(c, 16), 32768);
            acca = L_shr(L_shr(acca, n), 16);
            c = extract_l(acca);
        }
        stdDevIndex[r] = sub(stdDevIndex[r], shl(n, 1));
    }
}

struct RegionBits
{
    uint8_t data[kMaxRegions][kRegionBitBytes];
    int count[kMaxRegions];
};

void quantizeRegion(int r, int category, const int16_t* stdDevIndex, const int16_t* coefs,
                    RegionBits& out) noexcept
{
    if (category >= kelMTLVector::numCategories - 1) {
        out.count[r] = 0;
        return;
    }
    kelG7221BitWriter writer(out.data[r], kRegionBitBytes * 8);
    out.count[r] = kelMTLVector::quantizeRegion(category, stdDevIndex[r], coefs + r * kRegionSize, writer);
    writer.finish();
}

} // namespace

int16_t kelG7221FrameEncoder::analyse(const int16_t* samples, int16_t* coefs) noexcept
{
    const int n = f_mode.frameSize, half = n / 2;
    const int16_t* window = n == 320 ? kelG7221_samples_to_rmlt_window : kelG7221_max_samples_to_rmlt_window;
    int16_t windowed[maxFrameSize];
    // Fold the previous frame (first half) and the current one (second half).
    // Each pair of window values that meet here sums to at most 25904, so
    // the doubled sum of products plus the rounding stays below 2^31 and the
    // saturating operators' result is the plain one.
    const auto fold = [](int32_t w1, int32_t s1, int32_t w2, int32_t s2) {
        return int16_t((2 * w1 * s1 + 2 * w2 * s2 + 0x8000) >> 16);
    };
    for (int i = 0; i < half; ++i)
        windowed[i] =
            fold(window[half - 1 - i], f_history[half - 1 - i], window[half + i], f_history[half + i]);
    for (int i = 0; i < half; ++i)
        windowed[half + i] = fold(window[n - 1 - i], samples[i], -window[i], samples[n - 1 - i]);
    std::memcpy(f_history, samples, sizeof(int16_t) * size_t(n));

    // Scale the block up (or down) so the transform works near full scale.
    // (|x| of -32768 counts as 32767; 640 such values cannot overflow the sum.)
    int32_t peak32 = 0, sum = 0;
    for (int i = 0; i < n; ++i) {
        const int32_t a = std::min(std::abs(int32_t(windowed[i])), 32767);
        peak32 = std::max(peak32, a);
        sum += a;
    }
    const int16_t peak = int16_t(peak32);
    int16_t magShift = 0;
    if (sub(peak, 14000) < 0) {
        const int16_t p = sub(peak, 438) < 0 ? add(peak, 1) : peak;
        const int16_t scaled = extract_l(L_shr(L_mult(p, 9587), 20));
        const int16_t norm = norm_s(scaled);
        magShift = norm == 0 ? 9 : sub(norm, 6);
    }
    if (peak < (sum >> 7)) magShift = sub(magShift, 1);
    if (magShift > 0) {
        for (int i = 0; i < n; ++i)
            windowed[i] = saturate16(int32_t(windowed[i]) * (1 << magShift));
    } else if (magShift < 0) {
        for (int i = 0; i < n; ++i)
            windowed[i] = int16_t(windowed[i] >> -magShift);
    }
    kelDCT_IV::analysis(windowed, coefs, n);
    return magShift;
}

void kelG7221FrameEncoder::encode(const int16_t* samples, uint8_t* frame) noexcept
{
    const int regions = f_mode.regions;
    const int possibilities = f_mode.possibilities();
    int16_t coefs[maxFrameSize];
    const int16_t magShift = analyse(samples, coefs);

    Envelope env;
    computeEnvelope(coefs, magShift, regions, env);
    const int available = f_mode.bitsPerFrame - env.bits - f_mode.controlBits;

    int16_t categories[kMaxRegions];
    int16_t balances[kelMTLVector::maxControlPossibilities];
    kelMTLVector::categorize(available, regions, f_mode.frameSize, possibilities, env.index, categories,
                             balances);

    int16_t stdDevIndex[kMaxRegions];
    const int16_t offset = add(shl(magShift, 1), kelMTLVector::powerTableNegatives);
    for (int r = 0; r < regions; ++r)
        stdDevIndex[r] = add(env.index[r], offset);
    scaleLoudRegions(stdDevIndex, coefs, regions);

    // Rate control: start in the middle of the control range, then move the
    // control value until the vectors fit the available bits (or it ends).
    int control = 0;
    for (; control < possibilities / 2 - 1; ++control)
        categories[balances[control]] = add(categories[balances[control]], 1);
    RegionBits bits;
    int total = 0;
    for (int r = 0; r < regions; ++r) {
        quantizeRegion(r, categories[r], stdDevIndex, coefs, bits);
        total += bits.count[r];
    }
    while (total < available && control > 0) {
        const int r = balances[--control];
        categories[r] = sub(categories[r], 1);
        total -= bits.count[r];
        quantizeRegion(r, categories[r], stdDevIndex, coefs, bits);
        total += bits.count[r];
    }
    while (total > available && control < possibilities - 1) {
        const int r = balances[control++];
        categories[r] = add(categories[r], 1);
        total -= bits.count[r];
        quantizeRegion(r, categories[r], stdDevIndex, coefs, bits);
        total += bits.count[r];
    }

    // Envelope, control value, the vectors (cut at the frame's end), then ones.
    kelG7221BitWriter out(frame, f_mode.bitsPerFrame);
    for (int r = 0; r < regions; ++r)
        out.put(env.code[r], env.codeBits[r]);
    out.put(uint32_t(control), f_mode.controlBits);
    for (int r = 0; r < regions && out.bits() < f_mode.bitsPerFrame; ++r) {
        const int whole = bits.count[r] / 8, rest = bits.count[r] % 8;
        for (int b = 0; b < whole; ++b)
            out.put(bits.data[r][b], 8);
        if (rest > 0) out.put(uint32_t(bits.data[r][whole] >> (8 - rest)), rest);
    }
    while (out.bits() < f_mode.bitsPerFrame)
        out.put(0xFFFFFFFFu, std::min(32, f_mode.bitsPerFrame - out.bits()));
    out.finish();
}
