#pragma once
// Audio scaffolding for the DSP tests: deterministic test signals, raw float
// files for reference tools, and the two independent references the biquads
// are checked against (sox, and a plain direct-form filter in python3).
// Used from the test's own thread.

#include "tests/support/kelTestProcess.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kelTestAudio {

// A repeatable mix of three sines and white noise at about `level` peak.
inline std::vector<float> testSignal(size_t n, double rate = 48000.0, float level = 0.25f, uint32_t seed = 1)
{
    std::vector<float> out(n);
    uint32_t s = seed;
    for (size_t i = 0; i < n; ++i) {
        s = s * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(s >> 8) / 16777216.0) * 2.0 - 1.0;
        const double t = static_cast<double>(i) / rate;
        const double v = 0.4 * std::sin(2 * std::numbers::pi * 220 * t) +
                         0.3 * std::sin(2 * std::numbers::pi * 1800 * t) +
                         0.2 * std::sin(2 * std::numbers::pi * 7000 * t) + 0.1 * noise;
        out[i] = static_cast<float>(level * v);
    }
    return out;
}

inline std::vector<float> sine(size_t n, double freq, double rate, float level)
{
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] =
            static_cast<float>(level * std::sin(2 * std::numbers::pi * freq * static_cast<double>(i) / rate));
    return out;
}

inline std::string toBytes(const std::vector<float>& samples)
{
    return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
}

inline std::vector<float> fromBytes(const std::string& bytes)
{
    std::vector<float> out(bytes.size() / sizeof(float));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

inline double maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b)
{
    double m = a.size() == b.size() ? 0.0 : 1e9;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        m = std::max(m, std::fabs(double(a[i]) - double(b[i])));
    return m;
}

// Runs one sox effect (for example "equalizer 1000 2q 6") over mono 32-bit
// float samples at `rate`; nothing when sox is missing or fails.
inline std::optional<std::vector<float>> soxEffect(const std::vector<float>& in, int rate,
                                                   const std::string& effect)
{
    if (!kelTestProcess::available("sox")) return std::nullopt;
    const std::string fmt = "-t f32 -r " + std::to_string(rate) + " -c 1 ";
    const auto out = kelTestProcess::filter("sox -D -V1 " + fmt + "- " + fmt + "- " + effect, toBytes(in));
    if (!out) return std::nullopt;
    return fromBytes(*out);
}

// The python3 direct-form reference (tests/support/kelBiquadReference.py):
// computes the cookbook coefficients itself and filters in double
// precision. Nothing when python3 is missing.
inline std::optional<std::vector<float>> pythonBiquad(const std::vector<float>& in, int type, double gain,
                                                      double freq, double q)
{
    if (!kelTestProcess::available("python3")) return std::nullopt;
    std::ostringstream cmd;
    cmd.precision(17);
    cmd << "python3 " << KEL_SOURCE_DIR << "/tests/support/kelBiquadReference.py " << type << ' ' << gain
        << ' ' << freq << ' ' << q;
    const auto out = kelTestProcess::filter(cmd.str(), toBytes(in));
    if (!out) return std::nullopt;
    return fromBytes(*out);
}

} // namespace kelTestAudio
