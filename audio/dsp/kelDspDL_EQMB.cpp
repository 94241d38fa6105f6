#include "audio/dsp/kelDspDL_EQMB.h"

#include <algorithm>
#include <cmath>
#include <numbers>

bool kelDspDL_EQMB::configure()
{
    const double countValue = num(c_dspParam_count, 0);
    if (!(countValue >= 1.0 && countValue <= c_maxFilters)) return false;
    const int count = static_cast<int>(countValue);
    intptr_t fCount = 0, gCount = 0;
    const float* f = getc(c_dspParam_frequency, fCount);
    const float* g = getc(c_dspParam_gain, gCount);
    if (!f || !g || fCount < count || gCount < count) return false;
    for (int i = 0; i < count; ++i)
        if (!(f[i] >= 1e-10f && f[i] <= 1.0f)) return false;

    if (count != f_count) {
        for (auto& filter : f_filters)
            filter.clearHistory();
        f_count = count;
    }
    for (int i = 0; i < count; ++i) {
        // Octaves to the wider-spaced neighbour. Only filters that exist are
        // read: a single filter has no neighbour and gets one octave.
        double ratio = 2.0;
        if (count > 1) {
            if (i == 0)
                ratio = f[1] / static_cast<double>(f[0]);
            else if (i == count - 1)
                ratio = f[i] / static_cast<double>(f[i - 1]);
            else
                ratio = std::max(f[i] / static_cast<double>(f[i - 1]), f[i + 1] / static_cast<double>(f[i]));
        }
        const double bw = std::log2(ratio);
        const double w = 2.0 * std::numbers::pi * f[i];
        const double q = 0.5 / std::sinh(bw * 0.5 * w / std::sin(w));
        kelDspBiquadCoefs c;
        kelDspBiquadCoefficients(kelDspFilter_peaking, g[i], f[i], q, c);
        f_filters[i].setCoefs(c);
    }
    return true;
}

bool kelDspDL_EQMB::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    if (!in || !out || inCount != outCount || numSamples > inCount) return false;
    if (f_modified && !configure()) return false;

    const size_t n = static_cast<size_t>(numSamples);
    for (auto& s : f_scratch)
        if (s.size() < n) s.resize(n);
    // Filter i reads the previous scratch buffer (the input for the first)
    // and writes the other one (the output for the last).
    const float* src = in;
    for (int i = 0; i < f_count; ++i) {
        float* dst = i == f_count - 1 ? out : f_scratch[i & 1].data();
        f_filters[i].run(src, dst, numSamples);
        src = dst;
    }
    return true;
}
