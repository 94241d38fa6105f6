#pragma once
// kelDspDL_MbSp: "Multiband Splitter". Number of bands 0x1FF00 (2..255),
// ascending crossover frequencies 0x10400 (bands - 1 fractions of the rate),
// Q 0x10500, input chunk and one output chunk per band (0x10200 | band,
// each as long as the input). Band 0 is the lowest low-pass, band k the
// difference of neighbouring low-passes, the last band the input less the
// highest low-pass, so the bands add up to the input.

#include "audio/dsp/kelDspDProcessor.h"
#include "audio/dsp/kelDspMath.h"

#include <vector>

class kelDspDL_MbSp : public kelDspDProcessor
{
public:
    static constexpr int c_maxBands = 255;

    kelDspDL_MbSp() noexcept : kelDspDProcessor(kelDspType_MbSp) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    bool configure();

    int f_bands = 0;
    bool f_twoStages = false;
    // Two stages per crossover (the second used only when f_twoStages).
    std::vector<kelDspBiquad> f_lowPass;
    std::vector<double> f_prev; // L_(k-1) per sample
    std::vector<float*> f_outs;
};
