#pragma once
// kelDspDL_ND: "Noise Level Detector". Sampling rate 0x10B00, band edges
// 0x10B02 (low) and 0x10B01 (high) in Hz, sensitivity 0x10900, smoothing
// time 0x1FF00 (seconds). While the in-band share of the level exceeds the
// sensitivity, a slow estimate follows the fast input level. The estimate
// goes to every sample of the optional output chunk and to the float 0x10200.

#include "audio/dsp/kelDspDL_EQ2B.h"
#include "audio/dsp/kelDspDL_LD.h"
#include "audio/dsp/kelDspDProcessor.h"

#include <vector>

class kelDspDL_ND : public kelDspDProcessor
{
public:
    kelDspDL_ND() noexcept : kelDspDProcessor(kelDspType_ND) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    bool configure();

    kelDspDL_EQ2B f_band;
    kelDspLevelDetector f_bandLevel, f_inLevel, f_fastLevel;
    std::vector<float> f_bandBuf, f_bandLv, f_inLv, f_fastLv;
    double f_estimate = 0.0;
    double f_smooth = 0.0;
    double f_sensitivity = 0.7;
};
