#include "audio/dsp/kelDspDL_SpeechProc.h"

#include "audio/dsp/kelDspMath.h"

#include <algorithm>
#include <cmath>

namespace {

// Stage settings of one dynamics processor.
struct DynSettings
{
    int64_t detType;
    double detAttack, detRelease, detWindow;
    double attack, release, threshold, ratioAbove, ratioBelow, gain;
};

void apply(kelDspDL_DynProc& p, const DynSettings& s)
{
    p.seti(c_dspParam_type | 2, s.detType);
    p.setf(c_dspParam_attack | 2, static_cast<float>(s.detAttack));
    p.setf(c_dspParam_release | 2, static_cast<float>(s.detRelease));
    p.setf(c_dspParam_count | 2, static_cast<float>(s.detWindow));
    p.setf(c_dspParam_attack, static_cast<float>(s.attack));
    p.setf(c_dspParam_release, static_cast<float>(s.release));
    p.setf(c_dspParam_threshold, static_cast<float>(s.threshold));
    p.setf(c_dspParam_ratio, static_cast<float>(s.ratioAbove));
    p.setf(c_dspParam_ratio | 1, static_cast<float>(s.ratioBelow));
    p.setf(c_dspParam_gain, static_cast<float>(s.gain));
    p.setf(c_dspParam_gain | 1, static_cast<float>(s.gain));
}

bool run(kelDspDProcessor& p, const float* in, float* out, intptr_t n)
{
    p.setc(c_dspParam_input, const_cast<float*>(in), n);
    p.setc(c_dspParam_output, out, n);
    return p.process(n);
}

} // namespace

void kelDspDL_SpeechProc::configureLevelStages(double r)
{
    double target = num(c_dspParam_threshold, kelDspDB(-36.0));
    intptr_t count = 0;
    if (const float* chunk = getc(c_dspParam_threshold, count)) target = chunk[0];
    const double b = std::clamp(std::isfinite(target) ? target : 0.0, kelDspDB(-127.0), kelDspDB(-18.0));
    const double th = b * kelDspPow(kelDspDB(-12.0) / b, 0.125);
    apply(f_agc, {1, r * 0.001, r, r * 0.5, r * 0.01, r * 0.05, th, 8, 0.125, kelDspDB(-12.0) / th});
    apply(f_gate, {1, r * 0.001, r * 0.001, r * 0.001, r * 0.005, r * 0.3, b, 1, 0.05, 1});
}

bool kelDspDL_SpeechProc::configure()
{
    const double r = num(c_dspParam_rate, 44100);
    if (!(r > 0.0) || !std::isfinite(r) || r > 1.0e7) return false;
    const double split = num(c_dspParam_rate | 3, 2000);
    const double presence = num(c_dspParam_rate | 1, 5000);
    const double presenceQ = num(c_dspParam_Q | 1, 0.4);
    const double lowCut = num(c_dspParam_rate | 4, 300);
    const double makeUp = num(c_dspParam_gain, kelDspDB(6.0));
    const double limit = num(c_dspParam_gain | 5, kelDspDB(-0.5));
    const float q = static_cast<float>(std::sqrt(0.5));

    const size_t d = static_cast<size_t>(std::floor(r * 0.005));
    if (d != f_delayLine.size()) {
        f_delayLine.assign(d, 0.0f);
        f_delayPos = 0;
    }
    configureLevelStages(r);
    f_presence.seti(c_dspParam_type | 1, kelDspFilter_peaking);
    f_presence.setf(c_dspParam_gain | 1, static_cast<float>(kelDspDB(6.0)));
    f_presence.setf(c_dspParam_frequency | 1, static_cast<float>(presence / r));
    f_presence.setf(c_dspParam_Q | 1, static_cast<float>(presenceQ));
    f_presence.seti(c_dspParam_type | 2, kelDspFilter_highPass);
    f_presence.setf(c_dspParam_frequency | 2, static_cast<float>(lowCut / r));
    f_presence.setf(c_dspParam_Q | 2, q);
    f_split.seti(c_dspParam_type | 1, kelDspFilter_off);
    f_split.seti(c_dspParam_type | 2, kelDspFilter_highPass);
    f_split.setf(c_dspParam_frequency | 2, static_cast<float>(split / r));
    f_split.setf(c_dspParam_Q | 2, q / 2.0f);
    apply(f_deEsser,
          {0, r * 0.001, r * 0.001, 0, r * 0.005, r * 0.05, kelDspDB(-20.0), 100, 1, kelDspDB(3.0)});
    apply(f_compressor, {0, r * 0.001, r * 0.005, 0, r * 0.005, r * 0.05, kelDspDB(-12.0), 4, 1, makeUp});
    apply(f_limiter, {1, 0, r * 0.001, r * 0.005, 0, r * 0.05, limit, 100, 1, 1});
    return true;
}

void kelDspDL_SpeechProc::delay(const float* in, float* out, size_t n) noexcept
{
    const size_t d = f_delayLine.size();
    if (d == 0) {
        std::copy(in, in + n, out);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        out[i] = f_delayLine[f_delayPos];
        f_delayLine[f_delayPos] = in[i];
        f_delayPos = (f_delayPos + 1) % d;
    }
}

bool kelDspDL_SpeechProc::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    if (!in || !out || inCount != outCount || numSamples > inCount) return false;
    if (f_modified && !configure()) return false;
    if (numSamples == 0) return true;
    const size_t n = static_cast<size_t>(numSamples);
    if (f_a.size() < n) {
        f_delayed.resize(n);
        f_a.resize(n);
        f_b.resize(n);
        f_h.resize(n);
    }
    float* dl = f_delayed.data();
    float* a = f_a.data();
    float* b = f_b.data();
    float* h = f_h.data();

    delay(in, dl, n);
    if (!run(f_agc, dl, a, numSamples)) return false;
    if (!run(f_presence, a, b, numSamples)) return false;
    if (!run(f_split, b, h, numSamples)) return false;
    for (size_t i = 0; i < n; ++i)
        a[i] -= h[i];
    if (!run(f_deEsser, h, b, numSamples)) return false;
    for (size_t i = 0; i < n; ++i)
        a[i] += b[i];
    f_gate.setc(c_dspParam_input | 1, const_cast<float*>(in), numSamples);
    if (!run(f_gate, a, b, numSamples)) return false;
    if (!run(f_compressor, b, a, numSamples)) return false;
    if (!run(f_limiter, a, out, numSamples)) return false;
    putResulti(c_dspParam_count, f_gate.geti(c_dspParam_count));
    return true;
}
