#pragma once
// What the wave chain benchmarks share: the input files and a bounded wait.

#include "kelBenchClock.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace kelWaveChainBench {

inline constexpr uint32_t kRate = 48000;
inline constexpr double kFileSeconds = 20;
inline constexpr double kPlaySeconds = 1;

inline std::string scratch(const std::string& name)
{
    return "/tmp/kel_bench_wavechain_" + std::to_string(::getpid()) + "_" + name;
}

inline std::string le(uint32_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

// A 16-bit stereo WAV file of two tones.
inline bool writeWave(const std::string& path, size_t frames)
{
    std::string data;
    data.reserve(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        data += le(uint16_t(int16_t(12000 * std::sin(2 * M_PI * 440 * t))), 2);
        data += le(uint16_t(int16_t(12000 * std::sin(2 * M_PI * 660 * t))), 2);
    }
    const std::string fmt = le(1, 2) + le(2, 2) + le(kRate, 4) + le(kRate * 4, 4) + le(4, 2) + le(16, 2);
    const std::string body = "WAVEfmt " + le(16, 4) + fmt + "data" + le(uint32_t(data.size()), 4) + data;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const std::string file = "RIFF" + le(uint32_t(body.size()), 4) + body;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

inline const std::string& inputFile(bool tiny)
{
    static const std::string big = scratch("in.wav");
    static const std::string small = scratch("tiny.wav");
    static const bool written = writeWave(big, size_t(kFileSeconds * kRate)) && writeWave(small, kRate / 50);
    (void)written;
    return tiny ? small : big;
}

struct Scratch
{
    ~Scratch()
    {
        for (const char* name : {"in.wav", "tiny.wav", "out.wav"})
            std::remove(scratch(name).c_str());
    }
};
inline Scratch g_scratch;

inline bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    const uint64_t end = kelBenchNowNs() + uint64_t(timeoutMs) * 1000000u;
    while (!condition()) {
        if (kelBenchNowNs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace kelWaveChainBench
