#pragma once
// kelDspDL_DynProc: "Dynamic Processor", a compressor, expander, gate or
// limiter driven by a level detector. Input 0x10100, optional side chain
// 0x10101 (the detector listens to it instead), output 0x10200; detector
// type/attack/release/window 0x10602/0x10702/0x10802/0x1FF02; gain attack
// 0x10700 and release 0x10800; threshold 0x10900; ratios above/below
// 0x10A00/0x10A01; gains above/below 0x10300/0x10301. After each block the
// number of samples over threshold is the integer 0x1FF00.

#include "audio/dsp/kelDspDL_LD.h"
#include "audio/dsp/kelDspDProcessor.h"

#include <vector>

class kelDspDL_DynProc : public kelDspDProcessor
{
public:
    kelDspDL_DynProc() noexcept : kelDspDProcessor(kelDspType_DynProc) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    bool configure();

    kelDspLevelDetector f_det;
    std::vector<float> f_level;
    double f_alpha = 0.0, f_beta = 0.0, f_threshold = 0.0;
    double f_ia = 1.0, f_ib = 1.0, f_scaleA = 1.0, f_scaleB = 1.0;
    double f_runLevel = 0.0; // L
    double f_runGain = 1.0;  // R
};
