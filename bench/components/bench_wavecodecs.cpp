// CPU per second of 44.1 kHz stereo audio through the codec and mixer
// components, beside sox doing the same work on the same 60 s file
// (cpu_us per second of audio; the ratio tables compare each chain with the
// sox of its case, in interleaved rounds). Each side's cost is its run over
// the long file less its run over a one-chunk file, so sox's process start
// and our components' set-up are left out (bench_wavechain.h).
//  - mix/kel: two WAV readers feeding a mixer component that writes a WAV
//    file, all paced by one clock that the bench advances as fast as the
//    chain keeps up; mix/sox: `sox -D -m -v 1 a.wav -v 1 b.wav out.wav`.
//  - ulaw/kel: a WAV reader, a codec component (registry driver, format
//    tag 7) and a WAV writer; ulaw/sox: `sox in.wav -e u-law out.wav`.
// sox is skipped when it is missing.

#include "kelBenchChild.h"
#include "kelBenchRatios.h"
#include "bench_wavechain.h"
#include "components/kelMT_wave.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using kelWaveChainBench::CpuMeter;
using kelWaveChainBench::scratch;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kFrameBytes = 4;
constexpr double kSeconds = 60;
constexpr size_t kTinyFrames = kRate / 50;

size_t dataBytes(bool tiny)
{
    return (tiny ? kTinyFrames : size_t(kSeconds * kRate)) * kFrameBytes;
}

bool writeStereo(const std::string& path, size_t frames, double phase)
{
    return kelWaveChainBench::writeStereoWave(path, frames, kRate, 14000, phase);
}

// The input files: "a" and "b" of each length.
const std::string& inputFile(char which, bool tiny)
{
    static const std::string names[4] = {scratch("a.wav"), scratch("a-tiny.wav"), scratch("b.wav"),
                                         scratch("b-tiny.wav")};
    static const bool written =
        writeStereo(names[0], dataBytes(false) / kFrameBytes, 0) && writeStereo(names[1], kTinyFrames, 0) &&
        writeStereo(names[2], dataBytes(false) / kFrameBytes, 1) && writeStereo(names[3], kTinyFrames, 1);
    (void)written;
    return names[(which == 'b' ? 2 : 0) + (tiny ? 1 : 0)];
}

struct Scratch
{
    ~Scratch()
    {
        for (const char* name : {"a.wav", "a-tiny.wav", "b.wav", "b-tiny.wav", "out.wav"})
            std::remove(scratch(name).c_str());
    }
} g_files;

kelmtlWaveRiff* makeReader(const std::string& path, CpuMeter& meter)
{
    auto* reader = kelCreate<kelmtlWaveRiff>();
    reader->setIsFormatProvider(true);
    reader->setOnStreamIsDone([&meter](kelmtlWaveRiff*) { meter.kick(); });
    reader->setFileName(utf8ToUtf16(path));
    return reader;
}

kelmtlWaveRiff* makeWriter()
{
    auto* writer = kelCreate<kelmtlWaveRiff>();
    writer->setIsInput(false);
    writer->setFileName(utf8ToUtf16(scratch("out.wav")));
    return writer;
}

uintptr_t queuedBytes(kelWaveMixerDevice* mixer)
{
    uintptr_t total = 0;
    for (intptr_t i = 0; mixer && i < mixer->getStreamCount(); ++i)
        if (kelAbstractStream* stream = mixer->getStream(i)) total += uintptr_t(stream->getSize());
    return total;
}

// One run of the mixer chain: its CPU in microseconds, -1 when it did not
// carry both files whole. Readers and mixer run in real time on a clock
// this thread advances 100 ms at a time, as fast as the chain keeps up (a
// reader left to run free would outrun the mix and have its chunks
// dropped); this thread's own CPU is left out.
double mixChainUs(bool tiny)
{
    CpuMeter meter;
    kelManualClock clock;
    auto* writer = makeWriter();
    auto* mixer = kelCreate<kelmtlWaveMixer>();
    auto* a = makeReader(inputFile('a', tiny), meter);
    auto* b = makeReader(inputFile('b', tiny), meter);
    mixer->setIsFormatProvider(true);
    mixer->setOverNum(200);
    mixer->setIgnoreProviderOptions(kelIpoNoActivation);
    for (kelmtlWaveRiff* reader : {a, b}) {
        reader->setClock(clock);
        reader->setRealTime(true);
    }
    mixer->setClock(clock);
    mixer->setRealTime(true);
    (void)mixer->addConsumer(writer);
    (void)a->addConsumer(mixer);
    (void)b->addConsumer(mixer);
    const int64_t bytes = int64_t(dataBytes(tiny));
    const bool ended = meter.leaveOut([&] {
        bool going = mixer->open() && a->open() && b->open();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        int64_t ticks = 0;
        while (going) {
            if (!a->active() && !b->active() && mixer->inBytes() == 2 * bytes &&
                queuedBytes(mixer->mixer()) == 0)
                break;
            clock.advanceMs(100);
            ticks += 5;
            const int64_t want = ticks * int64_t(mixer->chunkSize());
            while (mixer->outBytes() < want && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            going = std::chrono::steady_clock::now() < deadline;
        }
        return going;
    });
    const bool whole = ended && mixer->inBytes() == 2 * bytes && mixer->overloadDropBytes() == 0;
    kelFree(a);
    kelFree(b);
    kelFree(mixer);
    kelFree(writer);
    std::remove(scratch("out.wav").c_str());
    return whole ? meter.usedUs() : -1;
}

// One run of the µ-law chain.
double ulawChainUs(bool tiny)
{
    CpuMeter meter;
    auto* writer = makeWriter();
    auto* codec = kelCreate<kelmtlWaveCodecDevice>();
    auto* reader = makeReader(inputFile('a', tiny), meter);
    codec->setFormatTag(7);
    (void)codec->addConsumer(writer);
    (void)reader->addConsumer(codec);
    const bool ended = reader->open() && meter.waitFor([&] { return !reader->active(); }, 120000);
    const bool whole = ended && codec->inBytes() >= int64_t(dataBytes(tiny)) &&
                       writer->inBytes() >= int64_t(dataBytes(tiny) / 2) - int64_t(kTinyFrames * 2);
    kelFree(reader);
    kelFree(codec);
    kelFree(writer);
    std::remove(scratch("out.wav").c_str());
    return whole ? meter.usedUs() : -1;
}

std::vector<std::string> soxMix(bool tiny)
{
    return {"sox",
            "-D",
            "-m",
            "-v",
            "1",
            inputFile('a', tiny),
            "-v",
            "1",
            inputFile('b', tiny),
            scratch("out.wav")};
}

std::vector<std::string> soxUlaw(bool tiny)
{
    return {"sox", inputFile('a', tiny), "-e", "u-law", scratch("out.wav")};
}

constexpr const char* kNotWhole = "the chain did not carry the whole file";

void mixKel(benchmark::State& state)
{
    kelWaveChainBench::measureLongLessTiny(state, kSeconds, mixChainUs, kNotWhole);
}
void mixSox(benchmark::State& state)
{
    kelWaveChainBench::measureSox(state, kSeconds, soxMix);
}
void ulawKel(benchmark::State& state)
{
    kelWaveChainBench::measureLongLessTiny(state, kSeconds, ulawChainUs, kNotWhole);
}
void ulawSox(benchmark::State& state)
{
    kelWaveChainBench::measureSox(state, kSeconds, soxUlaw);
}

} // namespace

BENCHMARK(mixKel)->Name("mix/kel")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(mixSox)->Name("mix/sox")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(ulawKel)->Name("ulaw/kel")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(ulawSox)->Name("ulaw/sox")->UseManualTime()->Iterations(kelBenchIterations(3));
KEL_BENCH_MAIN_WITH_RATIOS("sox", "cpu_us")
