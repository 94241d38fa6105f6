#pragma once
// Scaffolding for the tests of component chains over WAV files (codec,
// mixer and resampler components): owning handles, 16-bit PCM WAV files
// made from samples, the data of a WAV file, and running a reader to the
// end of its file. Header-only: it needs kel::components.

#include "components/kelMT_wave.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

// Frees a component at the end of the scope (declare consumers first, so
// they go after their providers).
struct kelTestOwnedPipe
{
    explicit kelTestOwnedPipe(kelmtlInOutPipe* p) : pipe(p) {}
    ~kelTestOwnedPipe() { kelFree(pipe); }
    kelTestOwnedPipe(const kelTestOwnedPipe&) = delete;
    kelTestOwnedPipe& operator=(const kelTestOwnedPipe&) = delete;
    kelmtlInOutPipe* pipe;
};

inline std::string kelTestSampleBytes(const std::vector<int16_t>& samples)
{
    std::string bytes(samples.size() * 2, '\0');
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

inline std::vector<int16_t> kelTestBytesSamples(const std::string& bytes)
{
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// A 16-bit PCM WAV file of interleaved `samples`.
inline void kelTestWritePcmWave(const std::string& path, uint32_t rate, uint16_t channels,
                                const std::vector<int16_t>& samples)
{
    kelWriteBytes(path, kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(rate, 16, channels)) +
                                    kelTestChunk("data", kelTestSampleBytes(samples))));
}

// Every 16-bit value once, from -32768 up.
inline std::vector<int16_t> kelTestEverySample()
{
    std::vector<int16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = int16_t(int(i) - 32768);
    return all;
}

// `frames` of a sine of `hz` at `rate` (mono), amplitude `level`.
inline std::vector<int16_t> kelTestSine(size_t frames, double hz, double rate, double level,
                                        size_t startFrame = 0)
{
    std::vector<int16_t> out(frames);
    for (size_t i = 0; i < frames; ++i)
        out[i] = int16_t(std::lround(level * std::sin(2.0 * M_PI * hz * double(startFrame + i) / rate)));
    return out;
}

// The power of the `hz` component of `count` samples from `samples` (the
// Goertzel recurrence; relative units, compare two in decibels).
inline double kelTestGoertzelPower(const int16_t* samples, size_t count, double hz, double rate)
{
    const double coeff = 2.0 * std::cos(2.0 * M_PI * hz / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < count; ++i) {
        const double s0 = double(samples[i]) + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

// The "fmt " and "data" payloads of a WAV file; nothing when it is not one.
struct kelTestWaveContent
{
    std::string fmt;
    std::string data;
    uint16_t tag() const { return fmt.size() >= 2 ? uint16_t(uint8_t(fmt[0]) | uint8_t(fmt[1]) << 8) : 0; }
};

inline std::optional<kelTestWaveContent> kelTestReadWave(const std::string& path)
{
    const std::string file = kelReadBytes(path);
    auto fmt = kelTestFindChunk(file, "fmt ");
    auto data = kelTestFindChunk(file, "data");
    if (!fmt || !data) return std::nullopt;
    return kelTestWaveContent{*fmt, *data};
}

// Opens `input` (a WAV reader at the head of a chain) and waits until the
// end of its file closed it and every component of `chain` after it; then
// closes them all again, which waits for the automatic closes to finish, so
// written files are complete. Whether the end came within `timeoutMs`.
inline bool kelTestRunToEnd(kelmtlWaveRiff* input, std::initializer_list<kelmtlInOutPipe*> chain,
                            uint64_t timeoutMs = 30000)
{
    if (!input->open()) return false;
    const bool ended = kelTestWaitUntil(
        [&] {
            if (input->active()) return false;
            for (kelmtlInOutPipe* pipe : chain)
                if (pipe->active()) return false;
            return true;
        },
        timeoutMs);
    input->close();
    for (kelmtlInOutPipe* pipe : chain)
        pipe->close();
    return ended;
}
