#include "codecs/kelDCT_IV.h"

#include "codecs/kelG7221Tables.h"
#include "core/kel3GPPBasicOps.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace kelBasicOp;

namespace {

constexpr int kCoreSize = 10;

// One (cos, -sin) pair per output pair of a rotation stage whose blocks
// span `span` values (20, 40, ... 640).
const int16_t (*rotationTable(bool analysis, int span) noexcept)[2]
{
    switch (span) {
    case 20:
        return analysis ? kelG7221_a_cos_msin_2 : kelG7221_s_cos_msin_2;
    case 40:
        return analysis ? kelG7221_a_cos_msin_4 : kelG7221_s_cos_msin_4;
    case 80:
        return analysis ? kelG7221_a_cos_msin_8 : kelG7221_s_cos_msin_8;
    case 160:
        return analysis ? kelG7221_a_cos_msin_16 : kelG7221_s_cos_msin_16;
    case 320:
        return analysis ? kelG7221_a_cos_msin_32 : kelG7221_s_cos_msin_32;
    default:
        return analysis ? kelG7221_a_cos_msin_64 : kelG7221_s_cos_msin_64;
    }
}

// log2(length / 10): the number of butterfly stages and of rotation stages.
int stagesFor(int length) noexcept
{
    return length == 320 ? 5 : 6;
}

// One sum/difference stage: each block of `span` values becomes its pair
// sums (front half) and pair differences (back half, in reverse order).
// `low` and `high` get the pair and its position in the input.
template <typename Low, typename High>
void splitStage(const int16_t* in, int16_t* out, int length, int span, Low low, High high) noexcept
{
    int16_t reversed[kelDCT_IV::maxLength / 2];
    const int half = span / 2;
    for (int base = 0; base < length; base += span) {
        const int16_t* src = in + base;
        int16_t* dst = out + base;
        for (int j = 0; j < half; ++j) {
            dst[j] = low(src[2 * j], src[2 * j + 1], base + 2 * j);
            reversed[j] = high(src[2 * j], src[2 * j + 1], base + 2 * j);
        }
        for (int j = 0; j < half; ++j)
            dst[span - 1 - j] = reversed[j];
    }
}

int maxAbs(const int16_t* values, int count) noexcept
{
    int peak = 0;
    for (int i = 0; i < count; ++i)
        peak = std::max(peak, std::abs(int(values[i])));
    return peak;
}

// The saturating multiply-accumulate chains below cannot saturate while
// every input stays within these limits (the largest input times the largest
// sum of coefficient magnitudes, doubled, plus the rounding, stays below
// 2^31); then plain 32-bit sums give the same results, much faster.
// 10 x 10 cores: column sums of magnitudes at most 68505 (analysis) and
// 192660 (synthesis).
constexpr int kCoreLimitA = 15673;
constexpr int kCoreLimitS = 5573;
// Rotations: |cos| + |sin| at most 42183 (analysis) and 26060 (synthesis,
// whose sums are doubled once more).
constexpr int kRotationLimitA = 25453;
constexpr int kRotationLimitS = 20600;
constexpr int64_t kRoomAfterRounding = INT32_MAX - 0x8000;
static_assert(2LL * kCoreLimitA * 68505 <= kRoomAfterRounding &&
              2LL * kCoreLimitS * 192660 <= kRoomAfterRounding);
static_assert(2LL * kRotationLimitA * 42183 <= kRoomAfterRounding &&
              4LL * kRotationLimitS * 26060 <= kRoomAfterRounding);

void coreTransforms(const int16_t* in, int16_t* out, int length, const int16_t (*core)[kCoreSize],
                    int limit) noexcept
{
    if (maxAbs(in, length) <= limit) {
        // All blocks at once, block index innermost, for the vectoriser.
        constexpr int kMaxBlocks = kelDCT_IV::maxLength / kCoreSize;
        const int blocks = length / kCoreSize;
        int16_t columns[kCoreSize][kMaxBlocks];
        for (int b = 0; b < blocks; ++b)
            for (int i = 0; i < kCoreSize; ++i)
                columns[i][b] = in[b * kCoreSize + i];
        for (int k = 0; k < kCoreSize; ++k) {
            int32_t sums[kMaxBlocks] = {};
            for (int i = 0; i < kCoreSize; ++i) {
                const int32_t c = core[i][k];
                for (int b = 0; b < blocks; ++b)
                    sums[b] += int32_t(columns[i][b]) * c;
            }
            for (int b = 0; b < blocks; ++b)
                out[b * kCoreSize + k] = int16_t((sums[b] * 2 + 0x8000) >> 16);
        }
        return;
    }
    for (int base = 0; base < length; base += kCoreSize) {
        const int16_t* x = in + base;
        if (maxAbs(x, kCoreSize) <= limit) {
            int32_t sums[kCoreSize] = {};
            for (int i = 0; i < kCoreSize; ++i) {
                const int32_t xi = x[i];
                for (int k = 0; k < kCoreSize; ++k)
                    sums[k] += xi * core[i][k];
            }
            for (int k = 0; k < kCoreSize; ++k)
                out[base + k] = int16_t((sums[k] * 2 + 0x8000) >> 16);
            continue;
        }
        for (int k = 0; k < kCoreSize; ++k) {
            int32_t sum = 0;
            for (int i = 0; i < kCoreSize; ++i)
                sum = L_mac(sum, x[i], core[i][k]);
            out[base + k] = round_fx(sum);
        }
    }
}

// One rotation set as four factor rows, so that every output is a plain
// two-term sum: low[j] = a[j] lowIn[j] + b[j] highIn[j] and high[-j] =
// c[j] lowIn[j] + d[j] highIn[j] (even pairs rotate by (cos, -sin), odd
// pairs by its mirror).
struct RotationFactors
{
    int16_t a[kelDCT_IV::maxLength / 2], b[kelDCT_IV::maxLength / 2];
    int16_t c[kelDCT_IV::maxLength / 2], d[kelDCT_IV::maxLength / 2];
};

const RotationFactors& rotationFactors(bool analysis, int span) noexcept
{
    struct All
    {
        RotationFactors f[12]; // [direction * 6 + log2(span / 20)]
    };
    static const All all = [] {
        All t{};
        for (int dir = 0; dir < 2; ++dir) {
            for (int level = 0, sp = 20; level < 6; ++level, sp *= 2) {
                const int16_t(*table)[2] = rotationTable(dir == 0, sp);
                RotationFactors& f = t.f[dir * 6 + level];
                for (int j = 0; j < sp / 2; ++j) {
                    const int16_t cs = table[j][0], msin = table[j][1];
                    const bool even = j % 2 == 0;
                    f.a[j] = cs;
                    f.b[j] = even ? int16_t(-msin) : msin;
                    f.c[j] = msin;
                    f.d[j] = even ? cs : int16_t(-cs);
                }
            }
        }
        return t;
    }();
    int level = 0;
    while ((20 << level) < span)
        ++level;
    return all.f[(analysis ? 0 : 6) + level];
}

// The rotation of one set by plain sums (the caller checked the inputs'
// range), rounded after doubling `Shift` times.
template <int Shift>
void fastRotation(const RotationFactors& f, const int16_t* inLow, const int16_t* inHigh, int16_t* outLow,
                  int16_t* outHigh, int half) noexcept
{
    int16_t reversed[kelDCT_IV::maxLength / 2];
    for (int j = 0; j < half; ++j) {
        const int32_t low = inLow[j], high = inHigh[j];
        outLow[j] = int16_t(((int32_t(f.a[j]) * low + int32_t(f.b[j]) * high) * (1 << Shift) + 0x8000) >> 16);
        reversed[j] =
            int16_t(((int32_t(f.c[j]) * low + int32_t(f.d[j]) * high) * (1 << Shift) + 0x8000) >> 16);
    }
    for (int j = 0; j < half; ++j)
        outHigh[-j] = reversed[j];
}

// The rotation stages, smallest span first; the last writes `output`. The
// synthesis tables hold half the rotation, which is doubled back.
void rotationStages(int16_t* bufferA, int16_t* bufferB, int16_t* output, int length, bool analysis) noexcept
{
    int16_t* in = bufferA;
    int16_t* scratch = bufferB;
    const int limit = analysis ? kRotationLimitA : kRotationLimitS;
    for (int span = kCoreSize * 2; span <= length; span *= 2) {
        int16_t* out = span == length ? output : scratch;
        const int16_t(*table)[2] = rotationTable(analysis, span);
        const bool allFast = maxAbs(in, length) <= limit;
        for (int base = 0; base < length; base += span) {
            const int16_t* inLow = in + base;
            const int16_t* inHigh = in + base + span / 2;
            int16_t* outLow = out + base;
            int16_t* outHigh = out + base + span - 1;
            if (allFast || maxAbs(in + base, span) <= limit) {
                if (analysis) {
                    fastRotation<1>(rotationFactors(true, span), inLow, inHigh, outLow, outHigh, span / 2);
                } else {
                    fastRotation<2>(rotationFactors(false, span), inLow, inHigh, outLow, outHigh, span / 2);
                }
                continue;
            }
            const auto rounded = [analysis](int32_t sum) { return round_fx(analysis ? sum : L_shl(sum, 1)); };
            for (int i = 0; i < span / 2; i += 2) {
                const int16_t cosEven = table[i][0], msinEven = table[i][1];
                const int16_t cosOdd = table[i + 1][0], msinOdd = table[i + 1][1];
                const int16_t lowEven = inLow[i], lowOdd = inLow[i + 1];
                const int16_t highEven = inHigh[i], highOdd = inHigh[i + 1];
                outLow[i] = rounded(L_mac(L_mult(cosEven, lowEven), negate(msinEven), highEven));
                outHigh[-i] = rounded(L_mac(L_mult(msinEven, lowEven), cosEven, highEven));
                outLow[i + 1] = rounded(L_mac(L_mult(cosOdd, lowOdd), msinOdd, highOdd));
                outHigh[-i - 1] = rounded(L_mac(L_mult(msinOdd, lowOdd), negate(cosOdd), highOdd));
            }
        }
        scratch = in;
        in = out;
    }
}

} // namespace

void kelDCT_IV::analysis(int16_t* input, int16_t* output, int length) noexcept
{
    if (!supports(length)) return;
    int16_t bufferA[maxLength], bufferB[maxLength];
    if (length == 320) {
        for (int i = 0; i < length; ++i)
            input[i] = add(input[i], kelG7221_anal_bias[i]);
    }
    const int16_t* in = input;
    int16_t* out = bufferA;
    int span = length;
    for (int stage = 0; stage < stagesFor(length); ++stage, span /= 2) {
        splitStage(
            in, out, length, span, [](int32_t a, int32_t b, int) { return int16_t((a + b) >> 1); },
            [](int32_t a, int32_t b, int) { return int16_t((a - b) >> 1); });
        in = out;
        out = out == bufferA ? bufferB : bufferA;
    }
    // `in` is now the other local buffer, free again after the cores.
    int16_t* spent = out == bufferA ? bufferB : bufferA;
    coreTransforms(spent, out, length, kelG7221_dct_core_a, kCoreLimitA);
    rotationStages(out, spent, output, length, true);
}

void kelDCT_IV::synthesis(const int16_t* input, int16_t* output, int length) noexcept
{
    if (!supports(length)) return;
    int16_t bufferA[maxLength], bufferB[maxLength];
    const int16_t* dither = length == 320 ? kelG7221_dither : kelG7221_max_dither;
    const int16_t* in = input;
    int16_t* out = bufferA;
    int span = length;
    for (int stage = 0; stage < stagesFor(length); ++stage, span /= 2) {
        if (stage == 0 && maxAbs(in, length) <= 32766) {
            // Neither the dither nor the negation can saturate here.
            splitStage(
                in, out, length, span,
                [dither](int32_t a, int32_t b, int at) { return int16_t((a + dither[at] + b) >> 1); },
                [dither](int32_t a, int32_t b, int at) { return int16_t((a + dither[at + 1] - b) >> 1); });
        } else if (stage == 0) {
            splitStage(
                in, out, length, span,
                [dither](int16_t a, int16_t b, int at) {
                    return int16_t((int32_t(add(a, dither[at])) + b) >> 1);
                },
                [dither](int16_t a, int16_t b, int at) {
                    return int16_t((int32_t(add(a, dither[at + 1])) + negate(b)) >> 1);
                });
        } else if (maxAbs(in, length) <= 16383) {
            // Sums of values this small cannot saturate.
            splitStage(
                in, out, length, span, [](int16_t a, int16_t b, int) { return int16_t(a + b); },
                [](int16_t a, int16_t b, int) { return int16_t(a - b); });
        } else {
            splitStage(
                in, out, length, span, [](int16_t a, int16_t b, int) { return saturate16(int32_t(a) + b); },
                [](int16_t a, int16_t b, int) { return saturate16(int32_t(a) + negate(b)); });
        }
        in = out;
        out = out == bufferA ? bufferB : bufferA;
    }
    // `in` is now the other local buffer, free again after the cores.
    int16_t* spent = out == bufferA ? bufferB : bufferA;
    coreTransforms(spent, out, length, kelG7221_dct_core_s, kCoreLimitS);
    rotationStages(out, spent, output, length, false);
    if (length == 320) {
        for (int i = 0; i < length; ++i)
            output[i] = saturate16(int32_t(output[i]) + kelG7221_syn_bias_7khz[i]);
    }
}
