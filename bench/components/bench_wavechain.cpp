// CPU per second of 48 kHz stereo audio through the wave pipe components,
// beside sox doing the same file (cpu_us per second of audio; the ratio
// tables compare each chain with the sox of its case). Every side works
// through the whole 10 s file, and every side's cost is its run over that
// file less its run over a one-chunk file (bench_wavechain.h), so sox's
// process start-up and our components' set-up are both left out.
//  - play/kel: a WAV file input in real time feeding a wave output
//    component on the virtual device (monotonic clock, /dev/null sink), until
//    the device has played the whole file: what playing a file costs;
//    play/sox: `sox in.wav -t null -`, reading and decoding with nothing to
//    write, the least work a player does.
//  - file/kel: a WAV file input read as fast as its thread goes feeding a
//    WAV file output component; file/sox: `sox in.wav out.wav`, the same
//    work.
//  - file/pauses: the 1 ms pause the WAV writer makes after every chunk
//    written to it (50 chunks a second), and nothing else: the part of
//    file/kel that the writer's pacing costs on this machine, a floor no
//    faster code can go below.
// sox is skipped when it is missing.

#include "kelBenchRatios.h"
#include "bench_wavechain.h"
#include "components/kelMT_wave.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"

#include <string>
#include <vector>

namespace {

using namespace kelWaveChainBench;

// One file chain run: its CPU in microseconds, -1 when it did not carry the
// whole file.
double fileChainUs(bool tiny)
{
    CpuMeter meter;
    auto* input = kelCreate<kelmtlWaveRiff>();
    auto* output = kelCreate<kelmtlWaveRiff>();
    input->setIsFormatProvider(true);
    input->setOnStreamIsDone([&meter](kelmtlWaveRiff*) { meter.kick(); });
    input->setFileName(utf8ToUtf16(inputFile(tiny)));
    output->setIsInput(false);
    output->setFileName(utf8ToUtf16(scratch("out.wav")));
    (void)input->addConsumer(output);
    const bool ended = input->open() && meter.waitFor([&] { return !input->active(); }, 120000);
    const bool whole = ended && output->inBytes() >= int64_t(dataBytes(tiny));
    kelFree(input);
    kelFree(output);
    std::remove(scratch("out.wav").c_str());
    return whole ? meter.usedUs() : -1;
}

void fileKel(benchmark::State& state)
{
    measureLongLessTiny(state, kFileSeconds, fileChainUs, "the file chain did not carry the whole file");
}

// One run of pauses: as many as the file chain makes over the long file.
double pausesUs()
{
    CpuMeter meter;
    const size_t chunks = size_t(kFileSeconds * kChunksPerSecond);
    for (size_t i = 0; i < chunks; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return meter.usedUs();
}

void filePauses(benchmark::State& state)
{
    double total = 0;
    for (auto _ : state) {
        const double used = std::max(pausesUs(), 1.0);
        total += used / kFileSeconds;
        state.SetIterationTime(used / 1e6);
    }
    state.counters["cpu_us"] = total / double(state.iterations());
}

} // namespace

// The sox side of a case: `args` after the input file.
void kelWaveChainSox(benchmark::State& state, const std::vector<std::string>& args)
{
    measureSox(state, kFileSeconds, [&](bool tiny) {
        std::vector<std::string> line = {"sox", inputFile(tiny)};
        line.insert(line.end(), args.begin(), args.end());
        return line;
    });
}

namespace {

void fileSox(benchmark::State& state)
{
    kelWaveChainSox(state, {scratch("out.wav")});
}

} // namespace

BENCHMARK(fileKel)->Name("file/kel")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(filePauses)->Name("file/pauses")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(fileSox)->Name("file/sox")->UseManualTime()->Iterations(kelBenchIterations(3));
KEL_BENCH_MAIN_WITH_RATIOS("sox", "cpu_us")
