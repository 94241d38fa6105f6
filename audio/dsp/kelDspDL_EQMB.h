#pragma once
// kelDspDL_EQMB: "Multiband Equalizer/Filter", up to 32 peaking biquads in
// series. Number of filters 0x1FF00 (1..32), frequency chunk 0x10400
// (fractions of the rate, 1e-10..1) and gain chunk 0x10300, each holding at
// least one value per filter. Each filter's bandwidth reaches to its nearer
// neighbour in octaves; histories clear when the number of filters changes.

#include "audio/dsp/kelDspDProcessor.h"
#include "audio/dsp/kelDspMath.h"

#include <vector>

class kelDspDL_EQMB : public kelDspDProcessor
{
public:
    static constexpr int c_maxFilters = 32;

    kelDspDL_EQMB() noexcept : kelDspDProcessor(kelDspType_EQMB) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    bool configure();

    kelDspBiquad f_filters[c_maxFilters];
    int f_count = 0;
    std::vector<float> f_scratch[2];
};
