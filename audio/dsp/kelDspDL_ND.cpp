#include "audio/dsp/kelDspDL_ND.h"

#include "audio/dsp/kelDspMath.h"

#include <cmath>

bool kelDspDL_ND::configure()
{
    const double rate = num(c_dspParam_rate, 44100);
    const double low = num(c_dspParam_rate | 2, 300);
    const double high = num(c_dspParam_rate | 1, 3000);
    const double smoothing = num(c_dspParam_count, 1);
    if (!(rate > 0.0) || !(smoothing >= 0.0) || !std::isfinite(rate) || !std::isfinite(smoothing))
        return false;
    f_sensitivity = num(c_dspParam_threshold, 0.7);
    const float q = static_cast<float>(std::sqrt(0.5));
    f_band.seti(c_dspParam_type | 1, kelDspFilter_highPass);
    f_band.setf(c_dspParam_frequency | 1, static_cast<float>(low / rate));
    f_band.setf(c_dspParam_Q | 1, q);
    f_band.seti(c_dspParam_type | 2, kelDspFilter_lowPass);
    f_band.setf(c_dspParam_frequency | 2, static_cast<float>(high / rate));
    f_band.setf(c_dspParam_Q | 2, q);
    if (!f_bandLevel.configure(0, rate * 0.05, rate * 0.05, 0) ||
        !f_inLevel.configure(0, rate * 0.05, rate * 0.05, 0) ||
        !f_fastLevel.configure(0, rate * 0.01, rate * 0.01, 0))
        return false;
    const double tr = smoothing * rate;
    f_smooth = (tr - 1.0) / (tr + 1.0);
    f_estimate = kelDspDB(-25.0);
    return true;
}

bool kelDspDL_ND::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    if (!in || numSamples > inCount) return false;
    if (out && outCount != inCount) return false;
    if (f_modified && !configure()) return false;

    const size_t n = static_cast<size_t>(numSamples);
    if (f_bandBuf.size() < n) {
        f_bandBuf.resize(n);
        f_bandLv.resize(n);
        f_inLv.resize(n);
        f_fastLv.resize(n);
    }
    f_band.setc(c_dspParam_input, const_cast<float*>(in), numSamples);
    f_band.setc(c_dspParam_output, f_bandBuf.data(), numSamples);
    if (numSamples > 0 && !f_band.process(numSamples)) return false;
    f_bandLevel.run(f_bandBuf.data(), f_bandLv.data(), numSamples);
    f_inLevel.run(in, f_inLv.data(), numSamples);
    f_fastLevel.run(in, f_fastLv.data(), numSamples);

    const double db3 = kelDspDB(-3.0);
    for (size_t k = 0; k < n; ++k) {
        // band / input > sensitivity, without dividing: silence (0 / 0) is no
        // in-band energy and leaves the estimate alone.
        const double inLv = f_inLv[k];
        if (inLv > 0.0 && f_bandLv[k] > f_sensitivity * inLv)
            f_estimate = db3 * f_fastLv[k] * (1.0 - f_smooth) + f_smooth * f_estimate;
        if (out) out[k] = static_cast<float>(f_estimate);
    }
    putResultf(c_dspParam_output, static_cast<float>(f_estimate));
    return true;
}
