// The resampler device converting 16-bit stereo from 44.1 to 48 kHz, one
// 20 ms source chunk per iteration (written to the device, which converts
// and delivers it), against what a caller would otherwise use:
//  - the Speex path against libsamplerate's SRC_SINC_MEDIUM_QUALITY (with
//    its short/float conversions; goal: kel at most 0.8 of its time) and
//    against the Speex DSP library's resampler called directly on the
//    interleaved frames (goal: at most 1.1 of its time);
//  - the convertPcm fallback against libsamplerate's SRC_LINEAR (goal: at
//    most 0.67 of its time).
// The libraries load by name; a missing one leaves its reference out. The
// ratio table at the end gives kel time / reference time.

#include "audio/kelWaveResampler.h"
#include "core/kelCreate.h"
#include "kelBenchRatios.h"
#include "platform/kelDynLib.h"

#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr uintptr_t kSrcRate = 44100, kDstRate = 48000;
constexpr size_t kChannels = 2;
constexpr size_t kInFrames = kSrcRate / 50, kOutFrames = kDstRate / 50;

std::vector<int16_t> music()
{
    std::vector<int16_t> v(kInFrames * kChannels);
    for (size_t f = 0; f < kInFrames; ++f)
        for (size_t c = 0; c < kChannels; ++c)
            v[f * kChannels + c] = int16_t(9000 * std::sin(0.031 * double(f) * double(c + 1)) +
                                           4000 * std::sin(0.17 * double(f)));
    return v;
}

void deviceRun(benchmark::State& state, bool speex)
{
    auto device = kelMakeOwned<kelWaveResampler>(false, uintptr_t(0));
    device->setUseSpeexDSP(speex);
    if (!device->setSampling(true, kSrcRate, 16, kChannels) ||
        !device->setSampling(false, kDstRate, 16, kChannels) || (speex && !device->speexAvailable())) {
        state.SkipWithError("resampler set-up failed (Speex DSP library missing?)");
        return;
    }
    // Chunks go only to the handler: the output stream would keep them all.
    (void)device->assignStream(false, nullptr, false);
    uintptr_t produced = 0;
    device->setOnDataAvailable([&](kelMsAcmStreamDevice*, void*, uintptr_t size) { produced += size; });
    if (device->open() != 0) {
        state.SkipWithError("open failed");
        return;
    }
    const auto in = music();
    for (auto _ : state) {
        benchmark::DoNotOptimize(device->write(in.data(), in.size() * 2));
        benchmark::ClobberMemory();
    }
    (void)device->close();
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kOutFrames));
    if (produced == 0) state.SkipWithError("nothing produced");
}

struct SrcLib
{
    kelDynLib lib;
    decltype(&src_new) create = nullptr;
    decltype(&src_delete) destroy = nullptr;
    decltype(&src_process) process = nullptr;
    decltype(&src_short_to_float_array) toFloat = nullptr;
    decltype(&src_float_to_short_array) toShort = nullptr;
    bool load()
    {
        if (!lib.open("libsamplerate.so.0")) return false;
        create = reinterpret_cast<decltype(create)>(lib.symbol("src_new"));
        destroy = reinterpret_cast<decltype(destroy)>(lib.symbol("src_delete"));
        process = reinterpret_cast<decltype(process)>(lib.symbol("src_process"));
        toFloat = reinterpret_cast<decltype(toFloat)>(lib.symbol("src_short_to_float_array"));
        toShort = reinterpret_cast<decltype(toShort)>(lib.symbol("src_float_to_short_array"));
        return create && destroy && process && toFloat && toShort;
    }
};

void libsamplerateRun(benchmark::State& state, int converter)
{
    SrcLib src;
    int error = 0;
    SRC_STATE* st = src.load() ? src.create(converter, int(kChannels), &error) : nullptr;
    if (st == nullptr) {
        state.SkipWithError("libsamplerate.so.0 missing");
        return;
    }
    const auto in = music();
    std::vector<float> fin(in.size()), fout((kOutFrames + 64) * kChannels);
    std::vector<int16_t> out(fout.size());
    for (auto _ : state) {
        src.toFloat(in.data(), fin.data(), int(fin.size()));
        SRC_DATA data{fin.data(),
                      fout.data(),
                      long(kInFrames),
                      long(kOutFrames + 64),
                      0,
                      0,
                      0,
                      double(kDstRate) / double(kSrcRate)};
        src.process(st, &data);
        src.toShort(fout.data(), out.data(), int(data.output_frames_gen * long(kChannels)));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    src.destroy(st);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kOutFrames));
}

void speexDirectRun(benchmark::State& state)
{
    kelDynLib lib;
    using Init = decltype(&speex_resampler_init);
    using Process = decltype(&speex_resampler_process_interleaved_int);
    using Destroy = decltype(&speex_resampler_destroy);
    Init init = nullptr;
    Process process = nullptr;
    Destroy destroy = nullptr;
    if (lib.open("libspeexdsp.so.1")) {
        init = reinterpret_cast<Init>(lib.symbol("speex_resampler_init"));
        process = reinterpret_cast<Process>(lib.symbol("speex_resampler_process_interleaved_int"));
        destroy = reinterpret_cast<Destroy>(lib.symbol("speex_resampler_destroy"));
    }
    int error = 0;
    SpeexResamplerState* st =
        init && process && destroy ? init(kChannels, kSrcRate, kDstRate, 6, &error) : nullptr;
    if (st == nullptr) {
        state.SkipWithError("libspeexdsp.so.1 missing");
        return;
    }
    const auto in = music();
    std::vector<int16_t> out((kOutFrames + 16) * kChannels);
    for (auto _ : state) {
        spx_uint32_t inLen = kInFrames, outLen = kOutFrames + 16;
        process(st, in.data(), &inLen, out.data(), &outLen);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    destroy(st);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kOutFrames));
}

} // namespace

BENCHMARK_CAPTURE(deviceRun, speex, true)->Name("speex-16bit-stereo-44k1-48k-vs-src-medium/kel");
BENCHMARK_CAPTURE(libsamplerateRun, medium, SRC_SINC_MEDIUM_QUALITY)
    ->Name("speex-16bit-stereo-44k1-48k-vs-src-medium/reference");
BENCHMARK_CAPTURE(deviceRun, speex, true)->Name("speex-16bit-stereo-44k1-48k-vs-speexdsp/kel");
BENCHMARK(speexDirectRun)->Name("speex-16bit-stereo-44k1-48k-vs-speexdsp/reference");
BENCHMARK_CAPTURE(deviceRun, fallback, false)->Name("fallback-16bit-stereo-44k1-48k-vs-src-linear/kel");
BENCHMARK_CAPTURE(libsamplerateRun, linear, SRC_LINEAR)
    ->Name("fallback-16bit-stereo-44k1-48k-vs-src-linear/reference");

KEL_BENCH_MAIN_WITH_RATIOS("reference")
