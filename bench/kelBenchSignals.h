#pragma once
// Speech-like test signals for the coder benchmarks: a tone whose loudness
// swells and fades, with a little noise, at 8000 Hz.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<int16_t> kelBenchSpeechLike(size_t samples, uint32_t seed, double toneHz, double swellHz)
{
    std::vector<int16_t> v(samples);
    for (size_t i = 0; i < v.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double t = double(i) / 8000.0;
        v[i] =
            int16_t(9000 * std::sin(2 * M_PI * toneHz * t) * (0.6 + 0.4 * std::sin(2 * M_PI * swellHz * t)) +
                    double(int32_t(seed >> 20) - 2048));
    }
    return v;
}
