#pragma once
// kelMTLVector: the G.722.1 coder's view of its transform coefficients as
// regions of 20 coefficients, each quantised as vectors of one of eight
// categories (0 = finest, 7 = nothing sent, noise filled). It holds the
// procedures that encoder and decoder must run identically (the
// categorisation from the decoded power envelope) and the vector quantiser
// in both directions.
//
// Pure functions over the constant tables; any thread.

#include <cstdint>

class kelG7221BitWriter;

class kelMTLVector
{
public:
    static constexpr int regionSize = 20;
    static constexpr int numCategories = 8;
    static constexpr int maxRegions = 28;
    static constexpr int maxControlPossibilities = 32;
    static constexpr int maxVectorDimension = 5;
    // The power index offset of the standard deviation tables.
    static constexpr int powerTableNegatives = 24;

    // The base categories of each region and the order in which categorisation
    // control values 1, 2, ... raise one region's category each, for a frame
    // with `availableBits` for the coefficients. `frameSize` is 320 or 640;
    // `possibilities` is 16 or 32. `powerIndex` holds the decoded region
    // power indices (each re-derived from its differential code).
    static void categorize(int availableBits, int regions, int frameSize, int possibilities,
                           const int16_t* powerIndex, int16_t* categories, int16_t* balances) noexcept;

    // Quantises one region of category 0..6 at `stdDevIndex` (the power
    // index into the inverse standard deviation table) and appends its
    // vectors to `out` (each: code, then one sign bit per non-zero
    // component). Returns the bits written.
    static int quantizeRegion(int category, int stdDevIndex, const int16_t* coefs,
                              kelG7221BitWriter& out) noexcept;

    // Splits vector index `index` of `category` into its components (first
    // component most significant). Returns the number of non-zero ones.
    static int indexToComponents(int index, int category, int16_t* components) noexcept;

    static int vectorDimension(int category) noexcept;
    static int vectorsPerRegion(int category) noexcept;
    // The decoding tree of `category` (0..6): node n's children for bit 0
    // and 1; a child <= 0 is a leaf holding the negated vector index.
    static const int16_t (*decoderTree(int category) noexcept)[2];
    // The number of nodes of that tree, for bounds checks.
    static int decoderTreeSize(int category) noexcept;
};
