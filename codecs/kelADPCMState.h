#pragma once
// The IMA ADPCM sample coder that every ADPCM block layout shares: the state
// and the step of coding or decoding one 4-bit code. Pure routines on a state
// the caller owns.

#include <cstdint>

enum kel_ADPCM_type : int {
    adpcm_IMA4 = 0,
    adpcm_DVI4 = 1,
    adpcm_VDVI = 2,
};

struct kelADPCM_state
{
    kel_ADPCM_type variant = adpcm_IMA4;
    int32_t predicted = 0; // -32768..32767
    int32_t stepIndex = 0; // 0..88
    // VDVI bit packing: pending bits (most significant first) and their count.
    uint16_t bitAccumulator = 0;
    int32_t bitCount = 0;
};

inline constexpr int kelADPCM_maxStepIndex = 88;

// The standard IMA step sizes (7 .. 32767) and index adjustments.
extern const int16_t kelADPCM_stepTable[kelADPCM_maxStepIndex + 1];
extern const int8_t kelADPCM_indexTable[8];

// A step index read from input, limited to the table.
inline int32_t kelADPCMClampIndex(int32_t index) noexcept
{
    return index < 0 ? 0 : (index > kelADPCM_maxStepIndex ? kelADPCM_maxStepIndex : index);
}

// Moves the state by one code: the predictor by step/8 plus the steps the
// code's bits 2..0 select (step, step/2, step/4) in the direction of its sign
// (bit 3), limited to 16 bits; the step index by the code's adjustment.
// Returns the new predicted value, which is the decoded sample.
inline int16_t kelADPCMDecodeSample(kelADPCM_state& state, uint8_t code) noexcept
{
    const int32_t step = kelADPCM_stepTable[state.stepIndex];
    int32_t delta = step >> 3;
    if (code & 4) delta += step;
    if (code & 2) delta += step >> 1;
    if (code & 1) delta += step >> 2;
    int32_t value = (code & 8) ? state.predicted - delta : state.predicted + delta;
    value = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
    state.predicted = value;
    state.stepIndex = kelADPCMClampIndex(state.stepIndex + kelADPCM_indexTable[code & 7]);
    return int16_t(value);
}

// Codes `sample` against the state and moves the state exactly as the
// decoder will for the code returned (4 bits, sign in bit 3).
inline uint8_t kelADPCMEncodeSample(kelADPCM_state& state, int32_t sample) noexcept
{
    int32_t step = kelADPCM_stepTable[state.stepIndex];
    int32_t diff = sample - state.predicted;
    uint8_t code = 0;
    if (diff < 0) {
        code = 8;
        diff = -diff;
    }
    if (diff >= step) {
        code |= 4;
        diff -= step;
    }
    step >>= 1;
    if (diff >= step) {
        code |= 2;
        diff -= step;
    }
    step >>= 1;
    if (diff >= step) code |= 1;
    kelADPCMDecodeSample(state, code);
    return code;
}
