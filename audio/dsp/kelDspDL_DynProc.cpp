#include "audio/dsp/kelDspDL_DynProc.h"

#include "audio/dsp/kelDspMath.h"

#include <cmath>

namespace {

const double c_gainFloor = kelDspDB(-127.0);
const double c_gainCeiling = kelDspDB(127.0);
const double c_gainMax = kelDspDB(120.0);

double inverseRatio(double ratio)
{
    return 1.0 / ratio < 0.001 ? 0.0 : 1.0 / ratio;
}

double scaleOf(double gain, double threshold, double inv)
{
    const double s = gain * kelDspPow(threshold, 1.0 - inv);
    return std::isfinite(s) ? s : 1000.0;
}

} // namespace

bool kelDspDL_DynProc::configure()
{
    if (!f_det.configure(whole(c_dspParam_type | 2, 0), num(c_dspParam_attack | 2, 44),
                         num(c_dspParam_release | 2, 44), num(c_dspParam_count | 2, 0)))
        return false;
    const double attack = num(c_dspParam_attack, 220.5);
    const double release = num(c_dspParam_release, 2205);
    const double ratioA = num(c_dspParam_ratio, 4);
    const double ratioB = num(c_dspParam_ratio | 1, 1);
    if (!(attack >= 0.0) || !(release >= 0.0) || !(ratioA >= 0.02) || !(ratioB >= 0.02)) return false;
    f_alpha = (attack / 2.0) / (attack / 2.0 + 2.0);
    f_beta = std::exp(-1.0 / (release / 2.0 + 1.0));
    f_threshold = num(c_dspParam_threshold, kelDspDB(-12.0));
    f_ia = inverseRatio(ratioA);
    f_ib = inverseRatio(ratioB);
    f_scaleA = scaleOf(num(c_dspParam_gain, 1.0), f_threshold, f_ia);
    f_scaleB = scaleOf(num(c_dspParam_gain | 1, 1.0), f_threshold, f_ib);
    return std::isfinite(f_alpha) && std::isfinite(f_beta) && std::isfinite(f_threshold);
}

bool kelDspDL_DynProc::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0, sideCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    const float* side = getc(c_dspParam_input | 1, sideCount);
    if (!in || !out || inCount != outCount || numSamples > inCount) return false;
    if (side && sideCount != inCount) return false; // an empty side chain means none
    if (f_modified && !configure()) return false;

    if (f_level.size() < static_cast<size_t>(numSamples)) f_level.resize(static_cast<size_t>(numSamples));
    f_det.run(side ? side : in, f_level.data(), numSamples);

    int64_t over = 0;
    for (intptr_t k = 0; k < numSamples; ++k) {
        const double a = f_level[static_cast<size_t>(k)];
        const bool below = a < f_threshold;
        const double i = below ? f_ib : f_ia;
        const double scale = below ? f_scaleB : f_scaleA;
        double t = scale * kelDspPow(a, i);
        double g = scale * kelDspPow(a, i - 1.0);
        if (!std::isfinite(t)) t = 0.0;
        if (!(g >= c_gainFloor))
            g = std::isnan(g) ? 1.0 : 0.0;
        else if (g > c_gainCeiling)
            g = c_gainMax;
        const double c = f_runLevel < t ? f_alpha : f_beta;
        if (f_runLevel > f_threshold) ++over;
        f_runLevel = f_runLevel * c + t * (1.0 - c);
        f_runGain = f_runGain * c + g * (1.0 - c);
        out[k] = static_cast<float>(f_runGain * in[k]);
    }
    putResulti(c_dspParam_count, over);
    return true;
}
