#pragma once
// Scaffolding for the G.722.1 tests: coders that keep what they deliver,
// the reference vectors of tests/vectors/codecs/g7221 (inputs and bit
// streams as files, decoded outputs as their SHA-256 in SHA256SUMS), and
// the signal measures of the round-trip tests. Header only; used from the
// test's own thread.

#include "codecs/kelG7221.h"

#include "tests/support/kelTestCodecs.h"

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

template <class Coder> class kelTestG7221Collector : public Coder
{
public:
    kelTestG7221Collector(int sampleRate, int bitrate) : Coder(sampleRate, bitrate) {}

    std::vector<std::string> frames; // one entry per frameReady call

    std::string joined() const
    {
        std::string all;
        for (const auto& f : frames)
            all += f;
        return all;
    }

protected:
    void frameReady(const uint8_t* data, intptr_t len) override
    {
        frames.emplace_back(reinterpret_cast<const char*>(data), size_t(len));
    }
};

using kelTestG7221Encoder = kelTestG7221Collector<kelG7221Encoder>;
using kelTestG7221Decoder = kelTestG7221Collector<kelG7221Decoder>;

// One reference bit stream: "<signal>_<16k|32k>_<bitrate>".
struct kelTestG7221Vector
{
    const char* signal;
    int sampleRate;
    int bitrate;

    std::string stem() const { return std::string(signal) + (sampleRate == 16000 ? "_16k" : "_32k"); }
    std::string name() const { return stem() + "_" + std::to_string(bitrate); }
};

// Every bit stream of the set; `random` ones have no input signal.
inline std::vector<kelTestG7221Vector> kelTestG7221Vectors()
{
    std::vector<kelTestG7221Vector> all;
    for (const char* signal : {"sine1k", "sweep", "noise", "silence", "speech", "loud", "random"})
        for (int bitrate : {24000, 32000})
            all.push_back({signal, 16000, bitrate});
    for (const char* signal : {"sweep", "speech"})
        for (int bitrate : {24000, 32000, 48000})
            all.push_back({signal, 32000, bitrate});
    return all;
}

inline std::string kelTestG7221File(const std::string& name)
{
    return kelCodecVector("g7221/" + name);
}

// The SHA-256 that SHA256SUMS lists for `name`; empty when none.
inline std::string kelTestG7221Digest(const std::string& name)
{
    std::istringstream sums(kelTestG7221File("SHA256SUMS"));
    std::string digest, file;
    while (sums >> digest >> file)
        if (file == name) return digest;
    return {};
}

// The 0-based frames erased for `name` in erasures.txt ("file: n n n").
inline std::vector<int> kelTestG7221Erasures(const std::string& name)
{
    std::istringstream lines(kelTestG7221File("erasures.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::istringstream numbers(line.substr(name.size() + 1));
        std::vector<int> frames;
        for (int n; numbers >> n;)
            frames.push_back(n);
        return frames;
    }
    return {};
}

// The lag (0..maxLag) at which `out` best matches `in` by cross-correlation.
inline size_t kelTestBestLag(const std::vector<int16_t>& in, const std::vector<int16_t>& out, size_t maxLag)
{
    size_t best = 0;
    double bestScore = -1e300;
    for (size_t lag = 0; lag <= maxLag && lag < out.size(); ++lag) {
        double score = 0;
        for (size_t i = 0; i + lag < out.size() && i < in.size(); ++i)
            score += double(in[i]) * out[i + lag];
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// Signal-to-noise ratio in dB of `out` (delayed by `lag`) against `in`,
// from sample `skip` of `in` on.
inline double kelTestSnrDb(const std::vector<int16_t>& in, const std::vector<int16_t>& out, size_t lag,
                           size_t skip)
{
    double signal = 0, noise = 0;
    for (size_t i = skip; i < in.size() && i + lag < out.size(); ++i) {
        const double d = double(out[i + lag]) - in[i];
        signal += double(in[i]) * in[i];
        noise += d * d;
    }
    return 10 * std::log10(signal / std::fmax(noise, 1e-9));
}

// Energy of `b` relative to `a` in dB, from sample `skip` on.
inline double kelTestLevelDb(const std::vector<int16_t>& a, const std::vector<int16_t>& b, size_t skip)
{
    double ea = 0, eb = 0;
    for (size_t i = skip; i < a.size(); ++i)
        ea += double(a[i]) * a[i];
    for (size_t i = skip; i < b.size(); ++i)
        eb += double(b[i]) * b[i];
    return 10 * std::log10(std::fmax(eb, 1e-9) / std::fmax(ea, 1e-9));
}
