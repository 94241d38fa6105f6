#include "audio/dsp/kelDspDL_MbSp.h"

#include <algorithm>
#include <cmath>

bool kelDspDL_MbSp::configure()
{
    const double bandsValue = num(c_dspParam_count, 0);
    if (!(bandsValue >= 2.0 && bandsValue <= c_maxBands)) return false;
    const int bands = static_cast<int>(bandsValue);
    intptr_t fCount = 0;
    const float* f = getc(c_dspParam_frequency, fCount);
    if (!f || fCount < bands - 1) return false;
    for (int k = 0; k < bands - 1; ++k)
        if (!(f[k] >= 1e-10f && f[k] <= 1.0f)) return false;

    const double maxQ = std::sqrt(0.5);
    const double q = num(c_dspParam_Q, maxQ);
    f_twoStages = q > maxQ;
    if (bands != f_bands) {
        f_lowPass.assign(static_cast<size_t>(2 * (bands - 1)), kelDspBiquad{});
        f_bands = bands;
    }
    for (int k = 0; k < bands - 1; ++k) {
        kelDspBiquadCoefs c;
        kelDspBiquadCoefficients(kelDspFilter_lowPass, 1.0, f[k], f_twoStages ? q / 2.0 : q, c);
        f_lowPass[static_cast<size_t>(2 * k)].setCoefs(c);
        f_lowPass[static_cast<size_t>(2 * k + 1)].setCoefs(c);
    }
    return true;
}

bool kelDspDL_MbSp::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    if (!in || numSamples > inCount) return false;
    if (f_modified && !configure()) return false;

    // Every band needs its own output (bands 3 and above included).
    std::vector<float*>& outs = f_outs;
    outs.resize(static_cast<size_t>(f_bands));
    for (int b = 0; b < f_bands; ++b) {
        intptr_t count = 0;
        outs[static_cast<size_t>(b)] = getc(c_dspParam_output | static_cast<uint32_t>(b), count);
        if (!outs[static_cast<size_t>(b)] || count != inCount) return false;
    }
    const size_t n = static_cast<size_t>(numSamples);
    if (f_prev.size() < n) f_prev.resize(n);
    std::fill_n(f_prev.begin(), n, 0.0);
    for (int k = 0; k < f_bands - 1; ++k) {
        kelDspBiquad& s1 = f_lowPass[static_cast<size_t>(2 * k)];
        kelDspBiquad& s2 = f_lowPass[static_cast<size_t>(2 * k + 1)];
        float* out = outs[static_cast<size_t>(k)];
        for (size_t i = 0; i < n; ++i) {
            double low = s1.tick(in[i]);
            if (f_twoStages) low = s2.tick(low);
            out[i] = static_cast<float>(low - f_prev[i]);
            f_prev[i] = low;
        }
    }
    float* last = outs[static_cast<size_t>(f_bands - 1)];
    for (size_t i = 0; i < n; ++i)
        last[i] = static_cast<float>(in[i] - f_prev[i]);
    return true;
}
