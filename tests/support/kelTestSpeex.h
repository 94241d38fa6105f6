#pragma once
// Scaffolding for the Speex tests: a speech-like test signal (voiced
// harmonics with a moving pitch and syllable envelope), so that the coder
// spends its bits as it does on speech.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<int16_t> kelTestSpeech(size_t samples, double rate)
{
    std::vector<int16_t> out(samples);
    double phase = 0.0;
    for (size_t n = 0; n < samples; ++n) {
        const double t = double(n) / rate;
        const double pitch = 120.0 + 30.0 * std::sin(2.0 * M_PI * 1.3 * t);
        phase += 2.0 * M_PI * pitch / rate;
        const double envelope = 0.55 + 0.45 * std::sin(2.0 * M_PI * 3.0 * t);
        double v = 0.0;
        for (int h = 1; h <= 12; ++h)
            v += std::sin(double(h) * phase) / double(h);
        out[n] = int16_t(std::lround(6000.0 * envelope * v));
    }
    return out;
}
