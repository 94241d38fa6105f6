#include "audio/dsp/kelDspDL_EQ2B.h"

namespace {

// A per-sample chunk, or null when the parameter is not given as one. False
// when the chunk holds fewer than `n` values.
bool perSampleChunk(const kelDspLibParams& params, uint32_t id, intptr_t n, const float*& chunk)
{
    chunk = nullptr;
    if (!params.issetc(id)) return true;
    intptr_t count = 0;
    chunk = params.getc(id, count);
    return count >= n && (chunk || n == 0);
}

} // namespace

bool kelDspDL_EQ2B::readBand(int b, intptr_t numSamples) noexcept
{
    Band& band = f_bands[b - 1];
    const uint32_t ix = static_cast<uint32_t>(b);
    band.type = whole(c_dspParam_type | ix, 0);
    band.gain = num(c_dspParam_gain | ix, 1.0);
    band.freq = num(c_dspParam_frequency | ix, b == 1 ? 500.0 / 44100.0 : 2000.0 / 44100.0);
    band.q = num(c_dspParam_Q | ix, 1.0);
    return perSampleChunk(f_params, c_dspParam_gain | ix, numSamples, band.gainChunk) &&
           perSampleChunk(f_params, c_dspParam_frequency | ix, numSamples, band.freqChunk) &&
           perSampleChunk(f_params, c_dspParam_Q | ix, numSamples, band.qChunk);
}

bool kelDspDL_EQ2B::doProcess(intptr_t numSamples)
{
    intptr_t inCount = 0, outCount = 0;
    const float* in = getc(c_dspParam_input, inCount);
    float* out = getc(c_dspParam_output, outCount);
    if (!in || !out || inCount != outCount || inCount <= 0 || numSamples > inCount) return false;
    if (!readBand(1, numSamples) || !readBand(2, numSamples)) return false;

    bool perSample[2];
    for (int b = 0; b < 2; ++b) {
        Band& band = f_bands[b];
        perSample[b] = band.type != kelDspFilter_off && (band.gainChunk || band.freqChunk || band.qChunk);
        if (!perSample[b] && f_modified) {
            kelDspBiquadCoefs c;
            kelDspBiquadCoefficients(band.type, band.gain, band.freq, band.q, c);
            band.filter.setCoefs(c);
        }
    }
    for (intptr_t i = 0; i < numSamples; ++i) {
        double x = in[i];
        for (int b = 0; b < 2; ++b) {
            Band& band = f_bands[b];
            if (band.type == kelDspFilter_off) continue;
            if (perSample[b]) {
                kelDspBiquadCoefs c;
                kelDspBiquadCoefficients(band.type, band.gainChunk ? band.gainChunk[i] : band.gain,
                                         band.freqChunk ? band.freqChunk[i] : band.freq,
                                         band.qChunk ? band.qChunk[i] : band.q, c);
                band.filter.setCoefs(c);
            }
            x = band.filter.tick(x);
        }
        out[i] = static_cast<float>(x);
    }
    return true;
}
