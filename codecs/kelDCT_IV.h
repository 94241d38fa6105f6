#pragma once
// kelDCT_IV: the fixed-point type IV DCT at the heart of the G.722.1 coder's
// modulated lapped transform, for 320 points (16000 Hz) and 640 points
// (32000 Hz). Both directions work with the saturating basic operators and
// the coder's own rotation tables, so that they reproduce the reference
// arithmetic bit for bit:
//
//   sum/difference butterflies down to blocks of 10 values
//   -> one 10-point transform per block (a 10 x 10 matrix)
//   -> rotation butterflies back up to the whole length
//
// The analysis direction halves every butterfly and adds a bias to its
// input (320 points only); the synthesis direction halves only the first
// stage, where it adds a dither, and adds an output bias (320 points only).
//
// Stateless; any thread.

#include <cstdint>

class kelDCT_IV
{
public:
    static constexpr int maxLength = 640;

    static constexpr bool supports(int length) noexcept { return length == 320 || length == 640; }

    // Transforms `length` windowed samples into as many coefficients.
    // `input` is used as scratch (the bias is added in place).
    static void analysis(int16_t* input, int16_t* output, int length) noexcept;

    // Transforms `length` coefficients back into samples.
    static void synthesis(const int16_t* input, int16_t* output, int length) noexcept;
};
