// G.722.1 encoding and decoding of 10 minutes of 16 kHz speech-like signal
// at 24000 bit/s, in processor time, beside GStreamer's sirenenc/sirendec
// (the older 16 kbit/s relative of the coder: the same transform size and
// regions, fewer bits to code). Goal: at least 1.2 times their frames per
// processor second, that is a time ratio of at most 0.83.
//
// GStreamer runs as gst-launch-1.0 on a file of the signal into fakesink;
// its time is that run less the same pipeline on one frame, so that start-up
// does not count. sirendec only accepts what sirenenc makes in the same
// pipeline, so the decode time is that of encode + decode less encode.

#include "codecs/kelG7221.h"
#include "kelBenchChild.h"
#include "kelBenchRatios.h"
#include "kelBenchSignals.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 16000;
constexpr int kBitrate = 24000;
constexpr size_t kFrameSamples = 320;
constexpr size_t kSamples = size_t(kRate) * 600;
constexpr size_t kFrames = kSamples / kFrameSamples;
constexpr int kOwnRuns = 3;

const std::vector<int16_t>& signal()
{
    static const std::vector<int16_t> s = kelBenchSpeechLike(kSamples, 11, 180, 3);
    return s;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

class FrameSink : public kelG7221Encoder
{
public:
    FrameSink() : kelG7221Encoder(kRate, kBitrate) {}
    std::string frames;

protected:
    void frameReady(const uint8_t* data, intptr_t len) override
    {
        frames.append(reinterpret_cast<const char*>(data), size_t(len));
    }
};

class SampleCounter : public kelG7221Decoder
{
public:
    SampleCounter() : kelG7221Decoder(kRate, kBitrate) {}
    int64_t sum = 0;

protected:
    void frameReady(const uint8_t* data, intptr_t len) override { sum += data[0] + data[len - 1]; }
};

const std::string& codedSignal()
{
    static const std::string frames = [] {
        FrameSink enc;
        enc.write(signal().data(), intptr_t(kSamples * 2));
        return enc.frames;
    }();
    return frames;
}

template <class F> void cpuTimed(benchmark::State& state, F&& body)
{
    for (auto _ : state) {
        const double start = threadCpuSeconds();
        body();
        state.SetIterationTime(threadCpuSeconds() - start);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames));
}

void encodeKel(benchmark::State& state)
{
    cpuTimed(state, [] {
        kelG7221Encoder enc(kRate, kBitrate);
        benchmark::DoNotOptimize(enc.write(signal().data(), intptr_t(kSamples * 2)));
    });
}

void decodeKel(benchmark::State& state)
{
    const std::string& frames = codedSignal();
    cpuTimed(state, [&] {
        SampleCounter dec;
        benchmark::DoNotOptimize(dec.write(frames.data(), intptr_t(frames.size())));
        benchmark::DoNotOptimize(dec.sum);
    });
}

// The signal as a raw file, and its first frame, for gst-launch-1.0.
std::string rawFile(bool tiny)
{
    const std::string name =
        "/tmp/kel_bench_g7221_" + std::to_string(::getpid()) + (tiny ? "_tiny.raw" : ".raw");
    static bool written[2] = {false, false};
    if (!written[tiny]) {
        FILE* f = std::fopen(name.c_str(), "wb");
        if (f == nullptr) return {};
        std::fwrite(signal().data(), 2, tiny ? kFrameSamples : kSamples, f);
        std::fclose(f);
        written[tiny] = true;
    }
    return name;
}

struct RawFiles
{
    ~RawFiles()
    {
        std::remove(rawFile(false).c_str());
        std::remove(rawFile(true).c_str());
    }
} g_rawFiles;

std::vector<std::string> pipeline(bool tiny, bool decode)
{
    std::vector<std::string> args = {"gst-launch-1.0",
                                     "-q",
                                     "filesrc",
                                     "location=" + rawFile(tiny),
                                     "!",
                                     "rawaudioparse",
                                     "format=pcm",
                                     "pcm-format=s16le",
                                     "sample-rate=16000",
                                     "num-channels=1",
                                     "!",
                                     "sirenenc",
                                     "!"};
    if (decode) {
        args.insert(args.end(), {"sirendec", "!"});
    }
    args.push_back("fakesink");
    return args;
}

// Processor seconds of the encoding pipeline on the whole signal less its
// start-up (the same pipeline on one frame).
double sirenSeconds()
{
    const double big = kelBenchChildCpuUs(pipeline(false, false));
    const double small = kelBenchChildCpuUs(pipeline(true, false));
    return big < 0 || small < 0 ? -1 : (big - small) / 1e6;
}

bool sirenAvailable()
{
    return std::system(
               "gst-inspect-1.0 sirenenc >/dev/null 2>&1 && gst-inspect-1.0 sirendec >/dev/null 2>&1") == 0;
}

void encodeSiren(benchmark::State& state)
{
    if (!sirenAvailable()) {
        state.SkipWithError("gst-launch-1.0 or sirenenc is missing (gstreamer1.0-plugins-bad)");
        return;
    }
    for (auto _ : state) {
        const double s = sirenSeconds();
        if (s < 0) {
            state.SkipWithError("gst-launch-1.0 failed");
            return;
        }
        state.SetIterationTime(std::max(s, 1e-6));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames));
}

void decodeSiren(benchmark::State& state)
{
    if (!sirenAvailable()) {
        state.SkipWithError("gst-launch-1.0 or sirendec is missing (gstreamer1.0-plugins-bad)");
        return;
    }
    for (auto _ : state) {
        const double both = kelBenchChildCpuUs(pipeline(false, true));
        const double encode = kelBenchChildCpuUs(pipeline(false, false));
        if (both < 0 || encode < 0) {
            state.SkipWithError("gst-launch-1.0 failed");
            return;
        }
        state.SetIterationTime(std::max((both - encode) / 1e6, 1e-6));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames));
}

} // namespace

BENCHMARK(encodeKel)->Name("g7221-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(encodeSiren)->Name("g7221-encode/siren")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(decodeKel)->Name("g7221-decode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(decodeSiren)->Name("g7221-decode/siren")->UseManualTime()->Iterations(kOwnRuns);

KEL_BENCH_MAIN_WITH_RATIOS("siren")
