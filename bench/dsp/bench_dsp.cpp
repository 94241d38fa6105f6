// Samples per second of the two-band equaliser and of the speech chain at
// 48 kHz, processing 10 s of audio in 20 ms blocks per iteration, beside
// sox running the same equaliser filters (and, for the speech chain, a sox
// chain of comparable stages: delay, compressors, equaliser, high-passes)
// over the same 10 s in one run of the program (its start-up included).
// Times are wall-clock (sox works in a process of its own): items/s is
// samples per second, ns_per_sample the cost of one.

#include "audio/dsp/kelDSPDlib.h"

#include "kelBenchRatios.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int c_rate = 48000;
constexpr size_t c_samples = 10 * c_rate;
constexpr size_t c_block = c_rate / 50;

const std::vector<float>& input()
{
    static const std::vector<float> in = [] {
        std::vector<float> v(c_samples);
        uint32_t s = 7;
        for (size_t i = 0; i < v.size(); ++i) {
            s = s * 1664525u + 1013904223u;
            const double t = double(i) / c_rate;
            v[i] = float(0.2 * std::sin(2 * std::numbers::pi * 440 * t) +
                         0.05 * (double(s >> 8) / 16777216.0 - 0.5));
        }
        return v;
    }();
    return in;
}

// The input as a raw float file for sox, written once.
const std::string& inputFile()
{
    static const std::string path = [] {
        std::string p = "/tmp/kel_bench_dsp_" + std::to_string(::getpid()) + ".f32";
        if (FILE* f = std::fopen(p.c_str(), "wb")) {
            std::fwrite(input().data(), sizeof(float), input().size(), f);
            std::fclose(f);
        }
        return p;
    }();
    return path;
}

void runBlocks(benchmark::State& state, kelDspDLibRoot& root, kelDspHandle obj)
{
    const auto& in = input();
    std::vector<float> block(c_block), out(c_block);
    root.setc(obj, c_dspParam_input, block.data(), c_block);
    root.setc(obj, c_dspParam_output, out.data(), c_block);
    for (auto _ : state) {
        for (size_t pos = 0; pos + c_block <= in.size(); pos += c_block) {
            std::copy(in.begin() + long(pos), in.begin() + long(pos + c_block), block.begin());
            if (!root.process(obj, c_block)) {
                state.SkipWithError("process failed");
                return;
            }
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c_samples));
    state.counters["ns_per_sample"] = benchmark::Counter(
        double(c_samples), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void sox(benchmark::State& state, const std::string& effects)
{
    if (std::system("command -v sox >/dev/null 2>&1") != 0) {
        state.SkipWithError("sox not installed");
        return;
    }
    const std::string cmd =
        "sox -D -V1 -t f32 -r 48000 -c 1 " + inputFile() + " -n " + effects + " 2>/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("sox failed");
            return;
        }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c_samples));
    state.counters["ns_per_sample"] = benchmark::Counter(
        double(c_samples), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void eq2bKel(benchmark::State& state)
{
    kelDspDLibRoot root;
    const kelDspHandle eq = root.createObject(kelDspType_EQ2B);
    root.seti(eq, c_dspParam_type | 1, kelDspFilter_peaking);
    root.setf(eq, c_dspParam_gain | 1, float(kelDspDB(6)));
    root.setf(eq, c_dspParam_frequency | 1, 1000.0f / c_rate);
    root.setf(eq, c_dspParam_Q | 1, 2.0f);
    root.seti(eq, c_dspParam_type | 2, kelDspFilter_highShelf);
    root.setf(eq, c_dspParam_gain | 2, float(kelDspDB(-4)));
    root.setf(eq, c_dspParam_frequency | 2, 6000.0f / c_rate);
    root.setf(eq, c_dspParam_Q | 2, 0.9f);
    runBlocks(state, root, eq);
}

void eq2bSox(benchmark::State& state)
{
    sox(state, "equalizer 1000 2q 6 treble -4 6000 0.9q");
}

void speechKel(benchmark::State& state)
{
    kelDspDLibRoot root;
    const kelDspHandle sp = root.createObject(kelDspType_SpeechProc);
    root.setf(sp, c_dspParam_rate, float(c_rate));
    runBlocks(state, root, sp);
}

void speechSox(benchmark::State& state)
{
    sox(state,
        "delay 0.005 compand 0.01,0.05 6:-48,-48,-12,-12,0,-6 equalizer 5000 0.4q 6 highpass 300 0.7071q "
        "highpass 2000 0.3536q compand 0.005,0.05 -20,-20,0,-19 compand 0.005,0.05 -12,-12,0,-9 "
        "compand 0,0.05 -0.5,-0.5,0,-0.5");
}

} // namespace

BENCHMARK(eq2bKel)
    ->Name("eq2b-48k/kel")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kelBenchIterations(50));
BENCHMARK(eq2bSox)
    ->Name("eq2b-48k/reference")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kelBenchIterations(50));
BENCHMARK(speechKel)
    ->Name("speech-48k/kel")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kelBenchIterations(10));
BENCHMARK(speechSox)
    ->Name("speech-48k/reference")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(kelBenchIterations(10));

KEL_BENCH_MAIN_WITH_RATIOS("reference", "ns_per_sample")
