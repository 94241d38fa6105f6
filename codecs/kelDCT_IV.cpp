#include "codecs/kelDCT_IV.h"

#include "codecs/kelG7221Tables.h"
#include "core/kel3GPPBasicOps.h"

#include <cstring>

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
template <typename Butterfly>
void splitStage(const int16_t* in, int16_t* out, int length, int span, Butterfly butterfly) noexcept
{
    for (int base = 0; base < length; base += span) {
        int16_t* low = out + base;
        int16_t* high = out + base + span;
        const int16_t* src = in + base;
        for (int i = 0; i < span / 2; ++i) {
            butterfly(src[2 * i], src[2 * i + 1], *low++, *--high);
        }
    }
}

void coreTransforms(const int16_t* in, int16_t* out, int length, const int16_t (*core)[kCoreSize]) noexcept
{
    for (int base = 0; base < length; base += kCoreSize) {
        for (int k = 0; k < kCoreSize; ++k) {
            int32_t sum = 0;
            for (int i = 0; i < kCoreSize; ++i)
                sum = L_mac(sum, in[base + i], core[i][k]);
            out[base + k] = round_fx(sum);
        }
    }
}

// The rotation stages, smallest span first; the last writes `output`.
void rotationStages(int16_t* bufferA, int16_t* bufferB, int16_t* output, int length, bool analysis) noexcept
{
    int16_t* in = bufferA;
    int16_t* scratch = bufferB;
    for (int span = kCoreSize * 2; span <= length; span *= 2) {
        int16_t* out = span == length ? output : scratch;
        const int16_t(*table)[2] = rotationTable(analysis, span);
        // The synthesis tables hold half the rotation, which is doubled back.
        const auto scaled = [analysis](int32_t sum) { return round_fx(analysis ? sum : L_shl(sum, 1)); };
        for (int base = 0; base < length; base += span) {
            const int16_t* inLow = in + base;
            const int16_t* inHigh = in + base + span / 2;
            int16_t* outLow = out + base;
            int16_t* outHigh = out + base + span;
            const int16_t(*pair)[2] = table;
            for (int i = 0; i < span / 4; ++i) {
                const int16_t lowEven = *inLow++, lowOdd = *inLow++;
                const int16_t highEven = *inHigh++, highOdd = *inHigh++;
                const int16_t cosEven = pair[0][0], msinEven = pair[0][1];
                const int16_t cosOdd = pair[1][0], msinOdd = pair[1][1];
                pair += 2;
                *outLow++ = scaled(L_mac(L_mult(cosEven, lowEven), negate(msinEven), highEven));
                *--outHigh = scaled(L_mac(L_mult(msinEven, lowEven), cosEven, highEven));
                *outLow++ = scaled(L_mac(L_mult(cosOdd, lowOdd), msinOdd, highOdd));
                *--outHigh = scaled(L_mac(L_mult(msinOdd, lowOdd), negate(cosOdd), highOdd));
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
        splitStage(in, out, length, span, [](int16_t a, int16_t b, int16_t& low, int16_t& high) {
            low = extract_l(L_shr(L_add(a, b), 1));
            high = extract_l(L_shr(L_sub(a, b), 1));
        });
        in = out;
        out = out == bufferA ? bufferB : bufferA;
    }
    coreTransforms(in, out, length, kelG7221_dct_core_a);
    rotationStages(out, const_cast<int16_t*>(in), output, length, true);
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
        if (stage == 0) {
            int d = 0;
            splitStage(in, out, length, span, [&](int16_t a, int16_t b, int16_t& low, int16_t& high) {
                low = extract_l(L_shr(L_add(add(a, dither[d]), b), 1));
                high = extract_l(L_shr(L_add(add(a, dither[d + 1]), negate(b)), 1));
                d += 2;
            });
        } else {
            splitStage(in, out, length, span, [](int16_t a, int16_t b, int16_t& low, int16_t& high) {
                low = add(a, b);
                high = add(a, negate(b));
            });
        }
        in = out;
        out = out == bufferA ? bufferB : bufferA;
    }
    coreTransforms(in, out, length, kelG7221_dct_core_s);
    rotationStages(out, const_cast<int16_t*>(in), output, length, false);
    if (length == 320) {
        for (int i = 0; i < length; ++i)
            output[i] = saturate16(int32_t(output[i]) + kelG7221_syn_bias_7khz[i]);
    }
}
