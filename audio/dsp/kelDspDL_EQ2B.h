#pragma once
// kelDspDL_EQ2B: "2 Band Parametric Equalizer", two cascaded biquads (bands
// 1 and 2). Per band b: type 0x10600|b (0 = off), gain 0x10300|b, frequency
// 0x10400|b (fraction of the rate) and Q 0x10500|b. Gain, frequency and Q may
// be chunks of per-sample values, which then give one coefficient set per
// sample. Each band keeps its history across calls.

#include "audio/dsp/kelDspDProcessor.h"
#include "audio/dsp/kelDspMath.h"

class kelDspDL_EQ2B : public kelDspDProcessor
{
public:
    kelDspDL_EQ2B() noexcept : kelDspDProcessor(kelDspType_EQ2B) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    struct Band
    {
        int32_t type = 0;
        double gain = 1.0, freq = 0.0, q = 1.0;
        const float *gainChunk = nullptr, *freqChunk = nullptr, *qChunk = nullptr;
        kelDspBiquad filter;
    };
    // Reads band `b`'s settings; false when a per-sample chunk is shorter
    // than `numSamples`.
    bool readBand(int b, intptr_t numSamples) noexcept;

    Band f_bands[2];
};
