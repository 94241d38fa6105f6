#include "codecs/kelMTLVector.h"

#include "codecs/kelG7221Bits.h"
#include "codecs/kelG7221Tables.h"
#include "core/kel3GPPBasicOps.h"

#include <algorithm>

using namespace kelBasicOp;

namespace {

const int16_t* const kBitcounts[7] = {
    kelG7221_mlt_sqvh_bitcount_category_0, kelG7221_mlt_sqvh_bitcount_category_1,
    kelG7221_mlt_sqvh_bitcount_category_2, kelG7221_mlt_sqvh_bitcount_category_3,
    kelG7221_mlt_sqvh_bitcount_category_4, kelG7221_mlt_sqvh_bitcount_category_5,
    kelG7221_mlt_sqvh_bitcount_category_6,
};

const uint16_t* const kCodes[7] = {
    kelG7221_mlt_sqvh_code_category_0, kelG7221_mlt_sqvh_code_category_1, kelG7221_mlt_sqvh_code_category_2,
    kelG7221_mlt_sqvh_code_category_3, kelG7221_mlt_sqvh_code_category_4, kelG7221_mlt_sqvh_code_category_5,
    kelG7221_mlt_sqvh_code_category_6,
};

const int16_t (*const kTrees[7])[2] = {
    kelG7221_mlt_decoder_tree_category_0, kelG7221_mlt_decoder_tree_category_1,
    kelG7221_mlt_decoder_tree_category_2, kelG7221_mlt_decoder_tree_category_3,
    kelG7221_mlt_decoder_tree_category_4, kelG7221_mlt_decoder_tree_category_5,
    kelG7221_mlt_decoder_tree_category_6,
};

constexpr int kTreeSizes[7] = {
    int(sizeof kelG7221_mlt_decoder_tree_category_0 / sizeof kelG7221_mlt_decoder_tree_category_0[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_1 / sizeof kelG7221_mlt_decoder_tree_category_1[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_2 / sizeof kelG7221_mlt_decoder_tree_category_2[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_3 / sizeof kelG7221_mlt_decoder_tree_category_3[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_4 / sizeof kelG7221_mlt_decoder_tree_category_4[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_5 / sizeof kelG7221_mlt_decoder_tree_category_5[0]),
    int(sizeof kelG7221_mlt_decoder_tree_category_6 / sizeof kelG7221_mlt_decoder_tree_category_6[0]),
};

constexpr int16_t kLastCategory = kelMTLVector::numCategories - 1;

// Categorisation works on small numbers (power indices within a few
// hundred, offsets within 64, bit estimates below 1500), where the basic
// operators never saturate: plain arithmetic gives the same results.
int16_t rawCategory(int offset, int powerIndex) noexcept
{
    return int16_t(std::clamp((offset - powerIndex) >> 1, 0, int(kLastCategory)));
}

// The largest offset (binary search from -32 in steps 32, 16, ... 1) whose
// categories' expected bits reach at least `availableBits` - 32.
int calcOffset(const int16_t* powerIndex, int regions, int availableBits) noexcept
{
    int answer = -32;
    for (int delta = 32; delta > 0; delta >>= 1) {
        const int test = answer + delta;
        int bits = 0;
        for (int r = 0; r < regions; ++r)
            bits += kelG7221_expected_bits_table[rawCategory(test, powerIndex[r])];
        if (bits >= availableBits - 32) answer = test;
    }
    return answer;
}

} // namespace

int kelMTLVector::vectorDimension(int category) noexcept
{
    return kelG7221_vector_dimension[category & 7];
}

int kelMTLVector::vectorsPerRegion(int category) noexcept
{
    return kelG7221_number_of_vectors[category & 7];
}

const int16_t (*kelMTLVector::decoderTree(int category) noexcept)[2]
{
    return kTrees[category < 0 || category > 6 ? 0 : category];
}

int kelMTLVector::decoderTreeSize(int category) noexcept
{
    return kTreeSizes[category < 0 || category > 6 ? 0 : category];
}

void kelMTLVector::categorize(int availableBits, int regions, int frameSize, int possibilities,
                              const int16_t* powerIndex, int16_t* categories, int16_t* balances) noexcept
{
    int16_t available = int16_t(availableBits);
    // Bits beyond the frame size count for only 5/8 in the estimate.
    if (sub(available, int16_t(frameSize)) > 0) {
        available = sub(available, int16_t(frameSize));
        available = shr(extract_l(L_mult0(available, 5)), 3);
        available = add(available, int16_t(frameSize));
    }
    const int offset = calcOffset(powerIndex, regions, available);

    int16_t maxRate[maxRegions], minRate[maxRegions];
    int expected = 0;
    for (int r = 0; r < regions; ++r) {
        categories[r] = rawCategory(offset, powerIndex[r]);
        maxRate[r] = minRate[r] = categories[r];
        expected += kelG7221_expected_bits_table[categories[r]];
    }

    // Balancing: each step either gives the region that most deserves it a
    // finer category (the list grows at the front) or takes the coarsening
    // that costs least (the list grows at the back).
    int16_t list[2 * maxControlPossibilities];
    int maxBits = expected, minBits = expected;
    int maxPointer = possibilities, minPointer = possibilities;
    int16_t bestMin = 0, bestMax = 0;
    for (int step = 0; step < possibilities - 1; ++step) {
        if (maxBits + minBits <= 2 * available) {
            int rawMin = 99;
            for (int r = 0; r < regions; ++r) {
                if (maxRate[r] > 0) {
                    const int value = offset - powerIndex[r] - 2 * maxRate[r];
                    if (value < rawMin) {
                        rawMin = value;
                        bestMin = int16_t(r);
                    }
                }
            }
            list[--maxPointer] = bestMin;
            // With no region left above category 0 the reference would step
            // below the table; the region is listed but stays at 0.
            if (maxRate[bestMin] > 0) {
                maxBits -= kelG7221_expected_bits_table[maxRate[bestMin]];
                --maxRate[bestMin];
                maxBits += kelG7221_expected_bits_table[maxRate[bestMin]];
            }
        } else {
            int rawMax = -99;
            for (int r = regions - 1; r >= 0; --r) {
                if (minRate[r] < kLastCategory) {
                    const int value = offset - powerIndex[r] - 2 * minRate[r];
                    if (value > rawMax) {
                        rawMax = value;
                        bestMax = int16_t(r);
                    }
                }
            }
            list[minPointer++] = bestMax;
            if (minRate[bestMax] < kLastCategory) {
                minBits -= kelG7221_expected_bits_table[minRate[bestMax]];
                ++minRate[bestMax];
                minBits += kelG7221_expected_bits_table[minRate[bestMax]];
            }
        }
    }
    for (int r = 0; r < regions; ++r)
        categories[r] = maxRate[r];
    for (int j = 0; j < possibilities - 1; ++j)
        balances[j] = list[maxPointer++];
}

int kelMTLVector::quantizeRegion(int category, int stdDevIndex, const int16_t* coefs,
                                 kelG7221BitWriter& out) noexcept
{
    const int16_t dim = kelG7221_vector_dimension[category];
    const int16_t vectors = kelG7221_number_of_vectors[category];
    const int16_t kmax = kelG7221_max_bin[category];
    const int16_t kmaxPlusOne = add(kmax, 1);

    // The inverse of step size times standard deviation, in Q13 after the
    // rounding, with its two low bits kept apart for a finer dead zone.
    int32_t acca = L_mult(kelG7221_step_size_inverse_table[category],
                          kelG7221_standard_deviation_inverse_table[stdDevIndex]);
    acca = L_shr(L_add(L_shr(acca, 1), 4096), 13);
    const int16_t lowBits = int16_t(acca & 3);
    const int32_t inverse = extract_l(L_shr(acca, 2));
    const int32_t deadZone = kelG7221_int_dead_zone[category];
    const int16_t deadZoneLow = kelG7221_int_dead_zone_low_bits[category];

    int total = 0;
    for (int n = 0; n < vectors; ++n) {
        int16_t index = 0, signs = 0, nonZero = 0;
        for (int j = 0; j < dim; ++j, ++coefs) {
            // Plain arithmetic is exact here: k * inverse stays below 2^31.
            // The finer dead zone wraps to 16 bits as the reference's does.
            int32_t k = abs_s(*coefs);
            int16_t fine = int16_t(2 * k * lowBits);
            fine = int16_t(fine >> 1);
            fine = int16_t(fine + deadZoneLow);
            fine = int16_t(fine >> 2);
            k = (k * inverse + deadZone + fine) >> 13;
            if (k != 0) {
                ++nonZero;
                signs = int16_t(signs << 1 | (*coefs > 0 ? 1 : 0));
                if (k > kmax) k = kmax;
            }
            index = int16_t(index * kmaxPlusOne + k);
        }
        const int codeBits = kBitcounts[category][index];
        out.put(kCodes[category][index], codeBits);
        out.put(uint32_t(uint16_t(signs)), nonZero);
        total += codeBits + nonZero;
    }
    return total;
}

int kelMTLVector::indexToComponents(int index, int category, int16_t* components) noexcept
{
    const int16_t maxBinPlusOne = add(kelG7221_max_bin[category], 1);
    const int16_t inverse = kelG7221_max_bin_plus_one_inverse[category];
    int16_t p = int16_t(index);
    int nonZero = 0;
    for (int j = kelG7221_vector_dimension[category] - 1; j >= 0; --j) {
        const int16_t q = mult(p, inverse);
        components[j] = sub(p, extract_l(L_mult0(q, maxBinPlusOne)));
        p = q;
        if (components[j] != 0) ++nonZero;
    }
    return nonZero;
}
