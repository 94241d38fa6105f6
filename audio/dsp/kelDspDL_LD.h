#pragma once
// kelDspDL_LD: "Level Detector", an envelope follower. Type 0x10600 (0 =
// mean-square, 1 = peak), attack 0x10700 and release 0x10800 in samples, peak
// window 0x1FF00. kelDspLevelDetector is its engine, shared with the
// dynamics processor.

#include "audio/dsp/kelDspDProcessor.h"

#include <vector>

class kelDspLevelDetector
{
public:
    // False for negative times. Keeps the envelope; the peak memory restarts
    // only when the window length changes.
    bool configure(int32_t type, double attack, double release, double window);
    // `out` may be `in`.
    void run(const float* in, float* out, intptr_t n) noexcept;

private:
    double peakOf(double v) noexcept;

    int32_t f_type = 0;
    double f_alpha = 0.0, f_beta = 0.0;
    double f_env = 0.0;
    // Peak mode: the last f_window magnitudes, the current maximum and the
    // absolute sample number it arrived at.
    std::vector<double> f_ring;
    intptr_t f_window = 0;
    int64_t f_pos = 0;
    int64_t f_maxPos = 0;
    double f_max = 0.0;
};

class kelDspDL_LD : public kelDspDProcessor
{
public:
    kelDspDL_LD() noexcept : kelDspDProcessor(kelDspType_LD) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    kelDspLevelDetector f_det;
};
