// The PCM routines against the plain loops a caller would otherwise write:
// mixing and gain over one 20 ms chunk of 18 channels at 96 kHz (the
// mixer's per-chunk work), in 16 and 32 bits, against a loop with
// std::clamp; and a 96 kHz to 44.1 kHz stereo conversion against a naive
// per-sample nearest-neighbour loop. Goal: within 1.2 of the plain loop.
// The ratio table at the end gives kel time / plain-loop time.

#include "audio/kelPCM.h"
#include "kelBenchRatios.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr size_t kChannels = 18;
constexpr size_t kFrames = 96000 / 50;
constexpr size_t kValues = kChannels * kFrames;

template <typename T> std::vector<T> noise(unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<T> v(kValues);
    for (T& s : v)
        s = static_cast<T>(rng());
    return v;
}

template <typename T> void mixKel(benchmark::State& state)
{
    const auto a = noise<T>(1), b = noise<T>(2);
    std::vector<T> out(kValues);
    for (auto _ : state) {
        mixPcm(a.data(), b.data(), out.data(), kFrames, sizeof(T) * 8, sizeof(T) * 8, sizeof(T) * 8, true,
               kChannels);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kValues));
}

template <typename T> void mixPlain(benchmark::State& state)
{
    const auto a = noise<T>(1), b = noise<T>(2);
    std::vector<T> out(kValues);
    constexpr int64_t lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    for (auto _ : state) {
        for (size_t i = 0; i < kValues; ++i)
            out[i] = static_cast<T>(std::clamp(int64_t{a[i]} + b[i], lo, hi));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kValues));
}

// -100 % keeps the buffer's magnitudes from one iteration to the next.
template <typename T> void gainKel(benchmark::State& state)
{
    auto data = noise<T>(3);
    for (auto _ : state) {
        applyGain(-100, data.data(), kValues, sizeof(T) * 8, kChannels, -1);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kValues));
}

template <typename T> void gainPlain(benchmark::State& state)
{
    auto data = noise<T>(3);
    constexpr double lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    const double percent = -100;
    for (auto _ : state) {
        for (T& s : data)
            s = static_cast<T>(std::clamp(percent * s / 100.0, lo, hi));
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kValues));
}

constexpr size_t kConvFrames = 1920; // 20 ms at 96 kHz, stereo
constexpr size_t kConvOut = (kConvFrames * 44100 + 95999) / 96000;

void convertKel(benchmark::State& state)
{
    const auto src = noise<int16_t>(4);
    std::vector<int16_t> dst(kConvOut * 2);
    for (auto _ : state) {
        convertPcm(src.data(), dst.data(), kConvFrames, 2, 2, 16, 16, 96000, 44100);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kConvOut * 2));
}

void convertPlain(benchmark::State& state)
{
    const auto src = noise<int16_t>(4);
    std::vector<int16_t> dst(kConvOut * 2);
    for (auto _ : state) {
        for (size_t j = 0; j < kConvOut; ++j) {
            const size_t i = j * 96000 / 44100;
            dst[2 * j] = src[2 * i];
            dst[2 * j + 1] = src[2 * i + 1];
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kConvOut * 2));
}

} // namespace

BENCHMARK(mixKel<int16_t>)->Name("mix16-18ch-96k/kel");
BENCHMARK(mixPlain<int16_t>)->Name("mix16-18ch-96k/plain-loop");
BENCHMARK(mixKel<int32_t>)->Name("mix32-18ch-96k/kel");
BENCHMARK(mixPlain<int32_t>)->Name("mix32-18ch-96k/plain-loop");
BENCHMARK(gainKel<int16_t>)->Name("gain16-18ch-96k/kel");
BENCHMARK(gainPlain<int16_t>)->Name("gain16-18ch-96k/plain-loop");
BENCHMARK(gainKel<int32_t>)->Name("gain32-18ch-96k/kel");
BENCHMARK(gainPlain<int32_t>)->Name("gain32-18ch-96k/plain-loop");
BENCHMARK(convertKel)->Name("convert-96k-to-44k1/kel");
BENCHMARK(convertPlain)->Name("convert-96k-to-44k1/plain-loop");

KEL_BENCH_MAIN_WITH_RATIOS("plain-loop")
