// Mixing eight 16-bit stereo streams at 48 kHz, one 20 ms chunk each, into
// one chunk: the mixer device's mix() (streams read, summed with clipping,
// levels measured, the chunk delivered) against a plain loop that converts
// every sample to float, sums, clips and converts back (goal: the mixer at
// least 1.5x as fast, the ratio below 0.67). Interleaved rounds.

#include "audio/kelWaveMixerDevice.h"
#include "core/kelAbstractStream.h"
#include "core/kelCreate.h"
#include "kelBenchRatios.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr size_t kStreams = 8;
constexpr size_t kFrames = 960; // 20 ms at 48 kHz
constexpr size_t kSamples = kFrames * 2;

std::vector<std::vector<int16_t>> inputs()
{
    std::vector<std::vector<int16_t>> out(kStreams, std::vector<int16_t>(kSamples));
    for (size_t k = 0; k < kStreams; ++k)
        for (size_t i = 0; i < kSamples; ++i)
            out[k][i] = int16_t(std::lround(6000 * std::sin(0.001 * double((k + 1) * i))));
    return out;
}

void mixKel(benchmark::State& state)
{
    const auto in = inputs();
    kelOwned<kelWaveMixerDevice> mixer(kelCreate<kelWaveMixerDevice>(false, true, uintptr_t(4)));
    if (!mixer || !mixer->setSampling(48000, 16, 2)) {
        state.SkipWithError("the mixer did not take the format");
        return;
    }
    mixer->assignStream(false, nullptr, false); // chunks go to the handler only
    uint64_t sink = 0;
    mixer->setOnDataAvailable(
        [&](kelMsAcmStreamDevice*, void* data, uintptr_t) { sink += *static_cast<uint8_t*>(data); });
    std::vector<kelAbstractStream*> streams;
    for (size_t k = 0; k < kStreams; ++k)
        streams.push_back(mixer->addStream());
    for (auto _ : state) {
        for (size_t k = 0; k < kStreams; ++k)
            streams[k]->write(in[k].data(), intptr_t(kSamples * 2));
        benchmark::DoNotOptimize(mixer->mix());
    }
    benchmark::DoNotOptimize(sink);
}

void mixFloat(benchmark::State& state)
{
    const auto in = inputs();
    std::vector<float> acc(kSamples);
    std::vector<int16_t> out(kSamples);
    for (auto _ : state) {
        std::fill(acc.begin(), acc.end(), 0.0f);
        for (size_t k = 0; k < kStreams; ++k)
            for (size_t i = 0; i < kSamples; ++i)
                acc[i] += float(in[k][i]) / 32768.0f;
        for (size_t i = 0; i < kSamples; ++i)
            out[i] = int16_t(std::clamp(acc[i], -1.0f, 32767.0f / 32768.0f) * 32768.0f);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(mixKel)->Name("mix-8x-48k-stereo-16bit/kel")->MinTime(0.2);
BENCHMARK(mixFloat)->Name("mix-8x-48k-stereo-16bit/float")->MinTime(0.2);

KEL_BENCH_MAIN_WITH_RATIOS("float")
