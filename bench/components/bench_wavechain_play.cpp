// The playing chain of bench_wavechain (see there): a WAV file input in real
// time feeding a wave output component on the virtual device, against
// `sox in.wav -t null -`. Built when the wave devices are in the tree.

#include "kelBenchRatios.h"
#include "bench_wavechain.h"
#include "components/kelMT_wave.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "platform/kelVirtualWave.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>

void kelWaveChainSox(benchmark::State& state, const std::vector<std::string>& args);

namespace {

using namespace kelWaveChainBench;

// One playing run: its CPU in microseconds, -1 when the file was not read
// to its end or the device did not finish playing it.
double playChainUs(bool tiny)
{
    kelVirtualWave::instance().clearPlayed();
    CpuMeter meter;
    auto* input = kelCreate<kelmtlWaveRiff>();
    auto* output = kelCreate<kelmtlWaveOutDevice>();
    std::atomic<bool> done{false};
    input->setIsFormatProvider(true);
    input->setRealTime(true);
    input->setAutoCloseOnDone(false);
    input->setOnStreamIsDone([&done, &meter](kelmtlWaveRiff*) {
        if (!done.exchange(true)) meter.kick();
    });
    input->setFileName(utf8ToUtf16(inputFile(tiny)));
    output->setDeviceId(0);
    (void)input->addConsumer(output);
    const size_t bytes = dataBytes(tiny);
    const int timeoutMs = int(double(bytes) / (kRate * kFrameBytes) * 1000) + 5000;
    // Played to the end: the file is read, and the device has played what
    // it was given and holds no buffer any more. A device that falls behind
    // on a loaded machine drops chunks (it is real time); that is said, not
    // counted as a failure.
    const bool played = input->open() && meter.waitFor(
                                             [&] {
                                                 kelWaveOutDevice* device = output->waveOutDevice();
                                                 return done.load() && device && device->inProgress() == 0;
                                             },
                                             timeoutMs);
    const uint64_t playedBytes = kelVirtualWave::instance().playedBytes();
    if (played && playedBytes < bytes)
        std::fprintf(stderr, "play: the device dropped %llu of %zu bytes\n",
                     (unsigned long long)(bytes - playedBytes), bytes);
    input->close();
    kelFree(input);
    kelFree(output);
    return played ? meter.usedUs() : -1;
}

void playKel(benchmark::State& state)
{
    kelVirtualWave::instance().restoreDefaults();
    // A sink that keeps nothing, as sox's null output: the device's bytes
    // are counted, not stored.
    kelVirtualWave::instance().playInto("/dev/null");
    double total = 0;
    for (auto _ : state) {
        const double big = playChainUs(false);
        const double small = playChainUs(true);
        if (big < 0 || small < 0) {
            state.SkipWithError("the playing chain did not play the file to its end");
            break;
        }
        const double used = std::max(big - small, 1.0);
        total += used / kFileSeconds;
        state.SetIterationTime(used / 1e6);
    }
    kelVirtualWave::instance().restoreDefaults();
    state.counters["cpu_us"] = total / double(state.iterations());
}

void playSox(benchmark::State& state)
{
    kelWaveChainSox(state, {"-t", "null", "-"});
}

} // namespace

BENCHMARK(playKel)->Name("play/kel")->UseManualTime()->Iterations(1);
BENCHMARK(playSox)->Name("play/sox")->UseManualTime()->Iterations(kelBenchIterations(3));
