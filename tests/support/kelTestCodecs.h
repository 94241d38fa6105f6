#pragma once
// Scaffolding for the codec tests: reference vectors from tests/vectors/codecs,
// 16-bit sample buffers to and from bytes, and a deterministic test signal.
// Header only; used from the test's own thread.

#include "tests/support/kelTestFiles.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifndef KEL_TEST_VECTORS
#error "kelTestCodecs.h needs KEL_TEST_VECTORS (kel_test defines it)"
#endif

// The bytes of tests/vectors/codecs/<name>; empty when it is missing.
inline std::string kelCodecVector(const std::string& name)
{
    return kelReadBytes(std::string(KEL_TEST_VECTORS) + "/codecs/" + name);
}

// Signed 16-bit little-endian samples from bytes (an odd last byte is dropped).
inline std::vector<int16_t> kelSamplesFromBytes(const std::string& bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8));
    return out;
}

inline std::string kelBytesFromSamples(const int16_t* samples, size_t count)
{
    std::string out(count * 2, '\0');
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = char(uint16_t(samples[i]) & 0xFF);
        out[2 * i + 1] = char(uint16_t(samples[i]) >> 8);
    }
    return out;
}

inline std::string kelBytesFromSamples(const std::vector<int16_t>& samples)
{
    return kelBytesFromSamples(samples.data(), samples.size());
}

// `count` samples at 8 kHz that exercise a speech coder: two gliding tones
// with a slow loudness envelope, pseudo-random noise and, from sample 6000 on,
// stretches at full scale. The same for every call.
inline std::vector<int16_t> kelSpeechLikeSignal(size_t count)
{
    std::vector<int16_t> out(count);
    uint32_t seed = 0x2545F491u;
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double t = double(i) / 8000.0;
        const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 3 * t);
        double v = envelope * (9000 * std::sin(2 * M_PI * (150 + 40 * t) * t * 4) +
                               5000 * std::sin(2 * M_PI * (900 - 60 * t) * t * 2));
        v += double(int32_t(seed >> 20) - 2048) * 1.5;
        if (i >= 6000 && (i / 400) % 2 == 0) v *= 4;
        out[i] = int16_t(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
    return out;
}
