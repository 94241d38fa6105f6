#include "codecs/kelG7221Frame.h"

#include "codecs/kelDCT_IV.h"
#include "codecs/kelG7221Bits.h"
#include "codecs/kelG7221Tables.h"
#include "codecs/kelMTLVector.h"
#include "core/kel3GPPBasicOps.h"

#include <algorithm>
#include <cstring>

using namespace kelBasicOp;

namespace {

constexpr int kRegionSize = kelMTLVector::regionSize;
constexpr int kMaxRegions = kelMTLVector::maxRegions;
constexpr int16_t kRmsAdjustment = 7;
constexpr int16_t kDiffMin = -12;
constexpr int kStdDevTableSize = 64;
constexpr int16_t kLastCategory = kelMTLVector::numCategories - 1;

// Reads bits while counting down the frame's budget, as the bad-frame
// checks need it (the count may go below zero by one).
struct Bits
{
    kelG7221BitReader reader;
    int left;

    int next() noexcept { return reader.next(); }
};

// A table read that stays inside the table; an index outside it only occurs
// in frames that the range check rejects afterwards.
int16_t stdDev(int index) noexcept
{
    return kelG7221_int_region_standard_deviation_table[std::clamp(index, 0, kStdDevTableSize - 1)];
}

// Reads the power envelope and derives the block scaling (the power of two
// the coefficients are built at) and each region's standard deviation.
void decodeEnvelope(Bits& bits, int regions, int16_t* powerIndex, int16_t* deviation,
                    int16_t& magShift) noexcept
{
    powerIndex[0] = sub(int16_t(bits.reader.bits(5)), kRmsAdjustment);
    bits.left -= 5;
    for (int r = 1; r < regions; ++r) {
        const int16_t(*tree)[2] = kelG7221_differential_region_power_decoder_tree[r];
        int node = 0;
        do {
            node = tree[node][bits.next()];
            --bits.left;
        } while (node > 0 && node < 23);
        powerIndex[r] =
            extract_l(L_add(L_add(powerIndex[r - 1], negate(int16_t(node > 0 ? 0 : node))), kDiffMin));
    }

    int16_t sum = 0, maxIndex = 0;
    for (int r = 0; r < regions; ++r) {
        const int16_t i = add(powerIndex[r], kelMTLVector::powerTableNegatives);
        if (i > maxIndex) maxIndex = i;
        sum = add(sum, stdDev(i));
    }
    int16_t shift = 9;
    while (shift >= 0 && (sub(sum, 8) >= 0 || sub(maxIndex, 28) > 0)) {
        shift = sub(shift, 1);
        sum = shr(sum, 1);
        maxIndex = sub(maxIndex, 2);
    }
    magShift = shift;
    const int16_t offset = int16_t(kelMTLVector::powerTableNegatives + shift * 2);
    for (int r = 0; r < regions; ++r)
        deviation[r] = stdDev(add(powerIndex[r], offset));
}

// Fills the zero coefficients of `count` values (all of them with `all`)
// with +/- `level`, one random word per ten values, low bit first.
void noiseFill(int16_t* coefs, int16_t level, bool all, int16_t randomWord) noexcept
{
    for (int j = 0; j < 10; ++j) {
        if (all || coefs[j] == 0) {
            coefs[j] = (randomWord & 1) == 0 ? negate(level) : level;
            randomWord = shr(randomWord, 1);
        }
    }
}

} // namespace

int16_t kelG7221FrameDecoder::random() noexcept
{
    int16_t word = extract_l(L_add(f_seed[0], f_seed[3]));
    if ((word & 0x8000) != 0) word = add(word, 1);
    f_seed[3] = f_seed[2];
    f_seed[2] = f_seed[1];
    f_seed[1] = f_seed[0];
    f_seed[0] = word;
    return word;
}

bool kelG7221FrameDecoder::decodeCoefs(const uint8_t* frame, int16_t* coefs, int16_t& magShift) noexcept
{
    const int regions = f_mode.regions;
    const int possibilities = f_mode.possibilities();
    Bits bits{kelG7221BitReader(frame, f_mode.bitsPerFrame), f_mode.bitsPerFrame};

    int16_t powerIndex[kMaxRegions], deviation[kMaxRegions];
    decodeEnvelope(bits, regions, powerIndex, deviation, magShift);
    const int control = bits.reader.bits(f_mode.controlBits);
    bits.left -= f_mode.controlBits;

    int16_t categories[kMaxRegions];
    int16_t balances[kelMTLVector::maxControlPossibilities];
    kelMTLVector::categorize(bits.left, regions, f_mode.frameSize, possibilities, powerIndex, categories,
                             balances);
    for (int i = 0; i < control; ++i)
        categories[balances[i]] = std::min<int16_t>(add(categories[balances[i]], 1), kLastCategory);

    bool ranOut = false;
    static constexpr int16_t noiseFactor5 = 0, noiseFactor6 = 1, noiseFactor7 = 2;
    for (int r = 0; r < regions; ++r) {
        int category = categories[r];
        int16_t* region = coefs + r * kRegionSize;
        const int16_t sd = deviation[r];
        if (category < kLastCategory) {
            const int16_t(*tree)[2] = kelMTLVector::decoderTree(category);
            const int treeSize = kelMTLVector::decoderTreeSize(category);
            const int dim = kelMTLVector::vectorDimension(category);
            int16_t* out = region;
            for (int n = 0; n < kelMTLVector::vectorsPerRegion(category) && !ranOut; ++n) {
                int node = 0;
                do {
                    if (bits.left <= 0) {
                        ranOut = true;
                        break;
                    }
                    node = tree[node][bits.next()];
                    --bits.left;
                } while (node > 0 && node < treeSize);
                if (ranOut) break;
                int16_t k[kelMTLVector::maxVectorDimension];
                const int signBits = kelMTLVector::indexToComponents(node > 0 ? 0 : -node, category, k);
                if (bits.left < signBits) {
                    ranOut = true;
                    break;
                }
                int signs = 0;
                for (int j = 0; j < signBits; ++j)
                    signs = (signs << 1) | bits.next();
                bits.left -= signBits;
                int bit = signBits > 0 ? 1 << (signBits - 1) : 0;
                for (int j = 0; j < dim; ++j) {
                    int16_t value =
                        extract_l(L_shr(L_mult0(sd, kelG7221_mlt_quant_centroid[category][k[j]]), 12));
                    if (value != 0) {
                        if ((signs & bit) == 0) value = negate(value);
                        bit >>= 1;
                    }
                    *out++ = value;
                }
            }
            // Out of bits: this region and all after it are noise.
            if (ranOut) {
                for (int j = r + 1; j < regions; ++j)
                    categories[j] = kLastCategory;
                category = kLastCategory;
            }
        }
        if (category == 5 || category == 6) {
            const int16_t level =
                mult(sd, kelG7221_noise_fill_factor[category == 5 ? noiseFactor5 : noiseFactor6]);
            noiseFill(region, level, false, random());
            noiseFill(region + 10, level, false, random());
        } else if (category == kLastCategory) {
            const int16_t level = mult(sd, kelG7221_noise_fill_factor[noiseFactor7]);
            noiseFill(region, level, true, random());
            noiseFill(region + 10, level, true, random());
        }
    }
    if (ranOut) --bits.left;

    // Bad frame checks: padding that is not all ones, bits that ran out
    // before the last control value, or a power index out of range.
    bool bad = false;
    if (bits.left > 0) {
        for (int i = 0; i < bits.left; ++i)
            if (bits.next() == 0) bad = true;
    } else if (control < possibilities - 1 && bits.left < 0) {
        bad = true;
    }
    for (int r = 0; r < regions; ++r) {
        const int32_t value = L_add(powerIndex[r], kRmsAdjustment);
        if (value > 31 || value < -8) bad = true;
    }
    return !bad;
}

void kelG7221FrameDecoder::synthesise(const int16_t* coefs, int16_t magShift, int16_t* samples) noexcept
{
    const int n = f_mode.frameSize, half = n / 2;
    int16_t fresh[maxFrameSize];
    kelDCT_IV::synthesis(coefs, fresh, n);
    if (magShift > 0) {
        for (int i = 0; i < n; ++i)
            fresh[i] = int16_t(fresh[i] >> magShift);
    } else if (magShift < 0) {
        for (int i = 0; i < n; ++i)
            fresh[i] = saturate16(int32_t(fresh[i]) * (1 << -magShift));
    }

    const int16_t* window = n == 320 ? kelG7221_rmlt_to_samples_window : kelG7221_max_rmlt_to_samples_window;
    // The window stays below 2^15 - 1, so each doubled product is exact and
    // only the sum, its scaling by 4 and the rounding can saturate.
    const auto overlap = [](int32_t w1, int32_t s1, int32_t w2, int32_t s2) {
        const int32_t sum = saturate32(int64_t(2 * w1 * s1) + int64_t(2 * w2 * s2));
        return extract_h(saturate32(int64_t(saturate32(int64_t(sum) * 4)) + 0x8000));
    };
    for (int i = 0; i < half; ++i)
        samples[i] = overlap(window[i], fresh[half - 1 - i], window[n - 1 - i], f_oldSamples[i]);
    for (int i = 0; i < half; ++i)
        samples[half + i] =
            overlap(window[half + i], fresh[i], -window[half - 1 - i], f_oldSamples[half - 1 - i]);
    std::memcpy(f_oldSamples, fresh + half, sizeof(int16_t) * size_t(half));
}

bool kelG7221FrameDecoder::decode(const uint8_t* frame, int16_t* samples) noexcept
{
    const int n = f_mode.frameSize, valid = f_mode.codedCoefs();
    int16_t coefs[maxFrameSize] = {};
    int16_t magShift = 0;
    const bool good = frame != nullptr && decodeCoefs(frame, coefs, magShift);
    if (good) {
        std::memcpy(f_oldCoefs, coefs, sizeof(int16_t) * size_t(valid));
        f_oldMagShift = magShift;
    } else {
        // Repeat the last good frame's spectrum once; the copy is then spent.
        std::memcpy(coefs, f_oldCoefs, sizeof(int16_t) * size_t(valid));
        std::memset(f_oldCoefs, 0, sizeof(int16_t) * size_t(valid));
        magShift = f_oldMagShift;
        f_oldMagShift = 0;
    }
    std::fill(coefs + valid, coefs + n, int16_t(0));
    synthesise(coefs, magShift, samples);
    return good;
}
