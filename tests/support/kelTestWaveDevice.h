#pragma once
// Scaffolding for the wave device tests: the virtual wave device on a
// manual clock for the length of a test (defaults restored after), a
// pattern signal of 16-bit samples that is never silence, and stepping the
// clock until the virtual device has played or recorded enough.

#include "core/kelClock.h"
#include "platform/kelVirtualWave.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

class kelTestVirtualWaveOnManualClock
{
public:
    kelTestVirtualWaveOnManualClock() : f_waveClock(f_clock)
    {
        kelVirtualWave::instance().restoreDefaults();
        kelVirtualWave::instance().setClock(f_waveClock);
    }
    ~kelTestVirtualWaveOnManualClock() { kelVirtualWave::instance().restoreDefaults(); }
    kelTestVirtualWaveOnManualClock(const kelTestVirtualWaveOnManualClock&) = delete;
    kelTestVirtualWaveOnManualClock& operator=(const kelTestVirtualWaveOnManualClock&) = delete;

    kelManualClock& clock() { return f_clock; }

    // Advances the clock `stepMs` at a time (up to `maxMs`), waiting after
    // each step (bounded) until `progress` reaches what that much time
    // gives (`perSecond` units a second, less `slack`, at most `cap`), and
    // stops as soon as `done` holds. True when `done` held.
    bool advanceUntil(const std::function<bool()>& done, const std::function<uint64_t()>& progress,
                      uint64_t perSecond, uint64_t slack, uint64_t maxMs, uint64_t stepMs = 200,
                      uint64_t cap = UINT64_MAX)
    {
        const uint64_t start = progress();
        for (uint64_t elapsed = stepMs; elapsed <= maxMs && !done(); elapsed += stepMs) {
            f_clock.advanceMs(stepMs);
            const uint64_t due = elapsed * perSecond / 1000;
            const uint64_t want = std::min(cap, start + (due > slack ? due - slack : 0));
            if (!kelTestWaitUntil([&] { return done() || progress() >= want; })) return false;
        }
        return kelTestWaitUntil(done, 1000);
    }

private:
    kelManualClock f_clock;
    kelTestWaveClock f_waveClock;
};

// `frames` interleaved frames of `channels` 16-bit samples counting up from
// `firstFrame` (sample = 1 + (frame * channels + channel) mod 30000): in
// order, never zero, so a gap, a repeat or a shift shows.
inline std::vector<uint8_t> kelTestCountingPcm16(uint64_t firstFrame, uint64_t frames, unsigned channels)
{
    std::vector<uint8_t> out(frames * channels * 2);
    for (uint64_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            const auto v = uint16_t(1 + ((firstFrame + f) * channels + c) % 30000);
            const size_t at = size_t((f * channels + c) * 2);
            out[at] = uint8_t(v);
            out[at + 1] = uint8_t(v >> 8);
        }
    }
    return out;
}
