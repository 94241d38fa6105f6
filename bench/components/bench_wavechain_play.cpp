// The playing chain of bench_wavechain (see there): a WAV file input in real
// time feeding a wave output component on the virtual device. Built when
// the wave devices are in the tree.

#include "bench_wavechain.h"
#include "components/kelMT_wave.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "platform/kelVirtualWave.h"

#include <benchmark/benchmark.h>

namespace {

using namespace kelWaveChainBench;

void chainPlay(benchmark::State& state)
{
    kelVirtualWave::instance().restoreDefaults();
    double total = 0;
    for (auto _ : state) {
        auto* input = kelCreate<kelmtlWaveRiff>();
        auto* output = kelCreate<kelmtlWaveOutDevice>();
        input->setIsFormatProvider(true);
        input->setRealTime(true);
        input->setAutoCloseOnDone(false);
        input->setFileName(utf8ToUtf16(inputFile(false)));
        output->setDeviceId(0);
        (void)input->addConsumer(output);
        kelVirtualWave::instance().clearPlayed();
        const uint64_t cpu = kelBenchProcessCpuNs();
        const bool opened = input->open();
        const size_t bytes = size_t(kPlaySeconds * kRate * 4);
        const bool played =
            opened && waitFor([&] { return kelVirtualWave::instance().played().size() >= bytes; },
                              int(kPlaySeconds * 1000) + 5000);
        const double used = double(kelBenchProcessCpuNs() - cpu) / 1e3;
        input->close();
        kelFree(input);
        kelFree(output);
        if (!played) {
            state.SkipWithError("the playing chain did not play");
            return;
        }
        total += used / kPlaySeconds;
        state.SetIterationTime(used / 1e6);
    }
    kelVirtualWave::instance().restoreDefaults();
    state.counters["cpu_us"] = total / double(state.iterations());
}

} // namespace

BENCHMARK(chainPlay)->Name("chain/kel-play")->UseManualTime()->Iterations(2);
