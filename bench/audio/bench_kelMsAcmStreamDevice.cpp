// The device base's per-chunk path against the PCM routines it is made of:
// one 20 ms chunk of 18 channels at 96 kHz, 16 bits, through deliverChunk
// with volume measurement and a gain on every channel (measure, scale,
// measure again), against the same routines called directly in a loop.
// Both sides first copy the chunk from a pristine block, so every
// iteration scales the same samples. Goal: the device within 1.1 of the
// direct loop. The ratio table at the end gives device time / routine time.

#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelPCM.h"
#include "core/kelCreate.h"
#include "kelBenchRatios.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kChannels = 18;
constexpr size_t kFrames = 96000 / 50;
constexpr size_t kBytes = kChannels * kFrames * 2;
constexpr uintptr_t kGain = 80;

std::vector<uint8_t> noise()
{
    std::mt19937 rng(7);
    std::vector<uint8_t> v(kBytes);
    for (uint8_t& b : v)
        b = uint8_t(rng());
    return v;
}

WAVEFORMATEX format()
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = kChannels;
    f.nSamplesPerSec = 96000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = kChannels * 2;
    f.nAvgBytesPerSec = 96000 * f.nBlockAlign;
    return f;
}

// The smallest concrete device: an output-side master, no platform.
class BenchDevice final : public kelMsAcmStreamDevice
{
public:
    BenchDevice() : kelMsAcmStreamDevice(false, false, 0, 0, true) {}

protected:
    bool doGetMasterIsSrc() override { return true; }
};

void deliverDevice(benchmark::State& state)
{
    const auto pristine = noise();
    std::vector<uint8_t> chunk(kBytes);
    const WAVEFORMATEX f = format();
    auto device = kelMakeOwned<BenchDevice>();
    device->setFormat(true, &f);
    device->setVolume100(-1, kGain);
    for (auto _ : state) {
        std::memcpy(chunk.data(), pristine.data(), kBytes);
        benchmark::DoNotOptimize(device->deliverChunk(chunk.data(), kBytes, &f));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

void deliverRoutines(benchmark::State& state)
{
    const auto pristine = noise();
    std::vector<uint8_t> chunk(kBytes);
    std::vector<uint32_t> before(kChannels), after(kChannels);
    for (auto _ : state) {
        std::memcpy(chunk.data(), pristine.data(), kBytes);
        for (size_t c = 0; c < kChannels; ++c)
            before[c] = channelVolume(chunk.data(), kFrames, 16, kChannels, c, false);
        for (size_t c = 0; c < kChannels; ++c) {
            applyGain(intptr_t(kGain), chunk.data(), kFrames, 16, kChannels, intptr_t(c));
            after[c] = channelVolume(chunk.data(), kFrames, 16, kChannels, c, false);
        }
        benchmark::DoNotOptimize(before.data());
        benchmark::DoNotOptimize(after.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}

} // namespace

BENCHMARK(deliverDevice)->Name("deliver-16bit-18ch-96k/device");
BENCHMARK(deliverRoutines)->Name("deliver-16bit-18ch-96k/pcm-routines");

KEL_BENCH_MAIN_WITH_RATIOS("pcm-routines")
