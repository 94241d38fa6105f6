// CPU per second of 48 kHz stereo audio through the wave pipe components,
// beside sox doing the file's share of the work (cpu_us per second of
// audio; the ratio table compares each chain with sox):
//  - chain/kel-file: a WAV file input component feeding a WAV file output
//    component, the input read as fast as its thread goes (20 s of audio);
//  - chain/kel-play: a WAV file input in real time feeding a wave output
//    component on the virtual device (monotonic clock, memory sink) for
//    one second of audio: what a playing chain costs while it plays;
//  - chain/sox: `sox in.wav -t raw out` on the same 20 s file, less sox's
//    own start-up (the same command on a file of one chunk).
// sox is skipped when it is missing.

#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"
#include "bench_wavechain.h"
#include "components/kelMT_wave.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kelWaveChainBench;

void chainFile(benchmark::State& state)
{
    double total = 0;
    for (auto _ : state) {
        auto* input = kelCreate<kelmtlWaveRiff>();
        auto* output = kelCreate<kelmtlWaveRiff>();
        input->setIsFormatProvider(true);
        input->setFileName(utf8ToUtf16(inputFile(false)));
        output->setIsInput(false);
        output->setFileName(utf8ToUtf16(scratch("out.wav")));
        (void)input->addConsumer(output);
        const uint64_t cpu = kelBenchProcessCpuNs();
        const bool opened = input->open();
        const bool ended = opened && waitFor([&] { return !input->active(); }, 120000);
        const double used = double(kelBenchProcessCpuNs() - cpu) / 1e3;
        kelFree(input);
        kelFree(output);
        if (!ended) {
            state.SkipWithError("the file chain did not run to its end");
            return;
        }
        total += used / kFileSeconds;
        state.SetIterationTime(used / 1e6);
    }
    state.counters["cpu_us"] = total / double(state.iterations());
}

double soxCpuUs(const std::string& file)
{
    const double used = kelBenchChildCpuUs({"sox", file, "-t", "raw", scratch("out.raw")});
    std::remove(scratch("out.raw").c_str());
    return used;
}

void chainSox(benchmark::State& state)
{
    if (std::system("command -v sox >/dev/null 2>&1") != 0) {
        state.SkipWithError("sox is missing");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double big = soxCpuUs(inputFile(false));
        const double small = soxCpuUs(inputFile(true));
        if (big < 0 || small < 0) {
            state.SkipWithError("sox failed");
            return;
        }
        const double used = std::max(big - small, 1.0);
        total += used / kFileSeconds;
        state.SetIterationTime(used / 1e6);
    }
    state.counters["cpu_us"] = total / double(state.iterations());
}

} // namespace

BENCHMARK(chainFile)->Name("chain/kel-file")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(chainSox)->Name("chain/sox")->UseManualTime()->Iterations(kelBenchIterations(3));
KEL_BENCH_MAIN_WITH_RATIOS("sox", "cpu_us")
