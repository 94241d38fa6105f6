#include "audio/dsp/kelDspDL_LD.h"

#include "audio/dsp/kelDspMath.h"

#include <cmath>

namespace {
const double c_msScale = kelDspDB(6.0);
}

bool kelDspLevelDetector::configure(int32_t type, double attack, double release, double window)
{
    if (!(attack >= 0.0) || !(release >= 0.0) || !std::isfinite(attack) || !std::isfinite(release) ||
        !std::isfinite(window))
        return false;
    f_type = type;
    f_alpha = (attack / 2.0) / (attack / 2.0 + 2.0);
    f_beta = (release / 2.0) / (release / 2.0 + 2.0);
    // A window (or attack) of 0 would look at no sample at all; its limit is
    // the current sample alone.
    double w = window > 0.0 ? std::ceil(window / 2.0) : std::ceil(attack / 2.0);
    if (w < 1.0) w = 1.0;
    if (w > 4194304.0) return false; // a window longer than a minute and a half at 48 kHz is a bad value
    const intptr_t win = static_cast<intptr_t>(w);
    if (type == 1 && win != f_window) {
        f_ring.assign(static_cast<size_t>(win), 0.0);
        f_window = win;
        f_pos = 0;
        f_maxPos = 0;
        f_max = 0.0;
    }
    return true;
}

double kelDspLevelDetector::peakOf(double v) noexcept
{
    f_ring[static_cast<size_t>(f_pos % f_window)] = v;
    if (v >= f_max) {
        f_max = v;
        f_maxPos = f_pos;
    } else if (f_pos - f_maxPos >= f_window) {
        // The maximum left the window: rescan what is left, newest first so
        // the kept position is the latest of equal values.
        f_max = -1.0;
        for (intptr_t k = 0; k < f_window && k <= f_pos; ++k) {
            const int64_t p = f_pos - k;
            const double r = f_ring[static_cast<size_t>(p % f_window)];
            if (r > f_max) {
                f_max = r;
                f_maxPos = p;
            }
        }
    }
    ++f_pos;
    return f_max;
}

void kelDspLevelDetector::run(const float* in, float* out, intptr_t n) noexcept
{
    const bool peak = f_type == 1 && f_window > 0;
    for (intptr_t i = 0; i < n; ++i) {
        const double x = in[i];
        const double v = peak ? peakOf(std::fabs(x)) : c_msScale * x * x;
        const double c = v > f_env ? f_alpha : f_beta;
        f_env = f_env * c + v * (1.0 - c);
        if (!std::isfinite(f_env)) f_env = 0.0; // a non-finite input sample must not stick
        out[i] = static_cast<float>(peak ? f_env : std::sqrt(f_env));
    }
}

bool kelDspDL_LD::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    if (!in || !out || inCount != outCount || numSamples > inCount) return false;
    if (f_modified && !f_det.configure(whole(c_dspParam_type, 0), num(c_dspParam_attack, 44.1),
                                       num(c_dspParam_release, 88.2), num(c_dspParam_count, 0)))
        return false;
    f_det.run(in, out, numSamples);
    return true;
}
