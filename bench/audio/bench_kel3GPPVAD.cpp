// The voice activity detector against the speexdsp preprocessor with only
// its detector on (no denoise, AGC or dereverb), on the same 8000 Hz frames
// of 160 samples: 10 s of noise at two levels with tone bursts. Goal: at
// least 3 times the preprocessor's frame rate (ratio below 0.33). The ratio
// table gives kel time / speexdsp time. speexdsp is loaded at run time; its
// case reports an error when libspeexdsp.so.1 is missing.

#include "audio/kel3GPPVAD.h"
#include "kelBenchRatios.h"
#include "tests/support/kelTestVadSignals.h"

#include <dlfcn.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t kFrames = 500;

std::vector<int16_t> signal()
{
    std::vector<int16_t> samples;
    kelVadNoise quiet(8), loud(5);
    for (size_t f = 0; f < kFrames; ++f) {
        const kelVadFrame frame = f % 100 < 20    ? kelVadToneFrame()
                                  : (f / 100) % 2 ? loud.frame()
                                                  : quiet.frame();
        samples.insert(samples.end(), frame.begin(), frame.end());
    }
    return samples;
}

void kelDetector(benchmark::State& state)
{
    const std::vector<int16_t> samples = signal();
    vadState* vad = nullptr;
    vadStateCreate(vad);
    const vadStateOwner owner(vad);
    int16_t frame[kVadFrameSamples];
    for (auto _ : state) {
        int speech = 0;
        for (size_t f = 0; f < kFrames; ++f) {
            std::memcpy(frame, samples.data() + f * kVadFrameSamples, sizeof frame);
            speech += vadDecideFrame(vad, frame);
        }
        benchmark::DoNotOptimize(speech);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames));
}

// The preprocessor's entry points, by the library's own names.
struct Speexdsp
{
    void* lib = ::dlopen("libspeexdsp.so.1", RTLD_NOW | RTLD_LOCAL);
    void* (*init)(int, int) = nullptr;
    int (*ctl)(void*, int, void*) = nullptr;
    int (*run)(void*, int16_t*) = nullptr;
    void (*destroy)(void*) = nullptr;

    Speexdsp()
    {
        if (!lib) return;
        init = reinterpret_cast<decltype(init)>(::dlsym(lib, "speex_preprocess_state_init"));
        ctl = reinterpret_cast<decltype(ctl)>(::dlsym(lib, "speex_preprocess_ctl"));
        run = reinterpret_cast<decltype(run)>(::dlsym(lib, "speex_preprocess_run"));
        destroy = reinterpret_cast<decltype(destroy)>(::dlsym(lib, "speex_preprocess_state_destroy"));
    }
    ~Speexdsp()
    {
        if (lib) ::dlclose(lib);
    }
    bool loaded() const { return init && ctl && run && destroy; }
};

constexpr int kSetDenoise = 0, kSetAgc = 2, kSetVad = 4, kSetDereverb = 8;

void speexdspDetector(benchmark::State& state)
{
    Speexdsp speex;
    if (!speex.loaded()) {
        state.SkipWithError("libspeexdsp.so.1 is not installed");
        return;
    }
    const std::vector<int16_t> samples = signal();
    void* pre = speex.init(int(kVadFrameSamples), 8000);
    int on = 1, off = 0;
    speex.ctl(pre, kSetDenoise, &off);
    speex.ctl(pre, kSetAgc, &off);
    speex.ctl(pre, kSetDereverb, &off);
    speex.ctl(pre, kSetVad, &on);
    int16_t frame[kVadFrameSamples];
    for (auto _ : state) {
        int speech = 0;
        for (size_t f = 0; f < kFrames; ++f) {
            std::memcpy(frame, samples.data() + f * kVadFrameSamples, sizeof frame);
            speech += speex.run(pre, frame);
        }
        benchmark::DoNotOptimize(speech);
    }
    speex.destroy(pre);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames));
}

} // namespace

BENCHMARK(kelDetector)->Name("vad-8k-500-frames/kel");
BENCHMARK(speexdspDetector)->Name("vad-8k-500-frames/speexdsp");

KEL_BENCH_MAIN_WITH_RATIOS("speexdsp")
