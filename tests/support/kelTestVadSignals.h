#pragma once
// Detector test signals: PCM made from a function of time, and 160-sample frames of a constant, of the
// repeating 1 kHz tone at 8000 Hz (rms 3277), and of the linear-congruential noise generator the detector
// checks use, so every check reproduces the same samples without a stored file.

#include "audio/kel3GPPVAD.h"
#include "audio/kelPCM.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

using kelVadFrame = std::array<int16_t, kVadFrameSamples>;

inline kelVadFrame kelVadConstantFrame(int16_t value)
{
    kelVadFrame frame;
    frame.fill(value);
    return frame;
}

// 0, 3277, 4634, 3277, 0, -3277, -4634, -3277, repeated; 160 is a whole
// number of periods, so consecutive frames join without a step.
inline kelVadFrame kelVadToneFrame()
{
    static constexpr int16_t kPeriod[8] = {0, 3277, 4634, 3277, 0, -3277, -4634, -3277};
    kelVadFrame frame;
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = kPeriod[i % 8];
    return frame;
}

// x <- 1103515245 x + 12345 (mod 2^32) from x = 1; each sample is
// ((x >> 16) & 0x7FFF) - 16384, shifted right (arithmetically) by `shift`.
class kelVadNoise
{
public:
    explicit kelVadNoise(int shift) : f_shift(shift) {}
    int16_t next()
    {
        f_x = f_x * 1103515245u + 12345u;
        const int32_t value = int32_t((f_x >> 16) & 0x7FFF) - 16384;
        return int16_t(value >> f_shift);
    }
    kelVadFrame frame()
    {
        kelVadFrame frame;
        for (auto& sample : frame)
            sample = next();
        return frame;
    }

private:
    uint32_t f_x = 1;
    int f_shift;
};

// `frames` interleaved frames in `format`'s sample size (any size the PCM
// routines write, float included): `value(frame, channel)` in -1 .. 1.
template <class Value>
std::vector<uint8_t> kelTestPcmSignal(uintptr_t bits, size_t channels, size_t frames, Value value)
{
    std::vector<uint8_t> bytes(frames * channels * (pcmContainerBits(bits) / 8));
    uint8_t* position = bytes.data();
    for (size_t f = 0; f < frames; ++f)
        for (size_t c = 0; c < channels; ++c)
            writeSample(bits, int64_t(std::clamp(value(f, c), -1.0, 1.0) * 2147483647.0), position);
    return bytes;
}

// The decisions of a fresh detector over 8000 Hz mono samples, one per
// whole frame.
inline std::vector<bool> kelVadDecisions(const std::vector<int16_t>& samples)
{
    std::vector<bool> decisions;
    vadState* state = nullptr;
    if (vadStateCreate(state) != 0) return decisions;
    const vadStateOwner owner(state);
    for (size_t at = 0; at + kVadFrameSamples <= samples.size(); at += kVadFrameSamples)
        decisions.push_back(vadDecideFrame(state, samples.data() + at));
    return decisions;
}
