// Encode and decode throughput of the G.711, IMA ADPCM and GSM coders, each
// case over the same 120 s of 8 kHz test signal. The reference subject is
// ffmpeg's encoder for the format (goal: our G.711 and IMA encoders at least
// twice as fast) and, for GSM, libgsm called directly on the same frames
// (goal: within 5%); ffmpeg's GSM encoder runs beside them when present.
//
// ffmpeg runs as a process on a file of the signal, writing to /dev/null; its
// time is that run less a run of the same command on 20 ms of input, so that
// start-up and probing do not count. Decode cases have no ffmpeg side.

#include "codecs/kelADPCM.h"
#include "codecs/kelG711.h"
#include "codecs/kelGSM.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"
#include "kelBenchSignals.h"

#include <gsm.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kSamples = 8000 * 120;
constexpr size_t kImaBlock = 505; // samples per 256-byte IMA4 block, as in WAV files

const std::vector<int16_t>& signal()
{
    static const std::vector<int16_t> s = kelBenchSpeechLike(kSamples, 7, 220, 2);
    return s;
}

// The signal as a raw file, and its first 20 ms, for ffmpeg.
std::string rawFile(bool tiny)
{
    const std::string name =
        "/tmp/kel_bench_codecs_" + std::to_string(::getpid()) + (tiny ? "_tiny.raw" : ".raw");
    static bool written[2] = {false, false};
    if (!written[tiny]) {
        FILE* f = std::fopen(name.c_str(), "wb");
        if (f == nullptr) return {};
        std::fwrite(signal().data(), 2, tiny ? 160 : signal().size(), f);
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

bool ffmpegHas(const char* encoder)
{
    const std::string cmd =
        std::string("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q ' ") + encoder + " '";
    return std::system(cmd.c_str()) == 0;
}

double runSeconds(const std::string& cmd)
{
    const uint64_t start = kelBenchNowNs();
    const int rc = std::system(cmd.c_str());
    const uint64_t end = kelBenchNowNs();
    return rc == 0 ? double(end - start) / 1e9 : -1;
}

// ffmpeg encoding the signal with `output` options, less its start-up.
void ffmpegEncode(benchmark::State& state, const char* encoder, const std::string& output)
{
    if (!ffmpegHas(encoder)) {
        state.SkipWithError("ffmpeg or its encoder is missing");
        return;
    }
    const auto cmd = [&](bool tiny) {
        return "ffmpeg -nostdin -v quiet -f s16le -ar 8000 -ac 1 -i " + rawFile(tiny) + " " + output +
               " -y /dev/null";
    };
    for (auto _ : state) {
        const double big = runSeconds(cmd(false));
        const double small = runSeconds(cmd(true));
        if (big < 0 || small < 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(std::max(big - small, 1e-6));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

template <class F> void timed(benchmark::State& state, F&& body)
{
    for (auto _ : state) {
        const uint64_t start = kelBenchNowNs();
        body();
        state.SetIterationTime(double(kelBenchNowNs() - start) / 1e9);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

// --- G.711 ---

void ulawEncodeKel(benchmark::State& state)
{
    std::vector<uint8_t> out(kSamples);
    timed(state, [&] {
        ulawCompress(kSamples, signal().data(), out.data());
        benchmark::DoNotOptimize(out.data());
    });
}

void alawEncodeKel(benchmark::State& state)
{
    std::vector<uint8_t> out(kSamples);
    timed(state, [&] {
        alawCompress(kSamples, signal().data(), out.data());
        benchmark::DoNotOptimize(out.data());
    });
}

void ulawDecodeKel(benchmark::State& state)
{
    std::vector<uint8_t> codes(kSamples);
    ulawCompress(kSamples, signal().data(), codes.data());
    std::vector<int16_t> out(kSamples);
    timed(state, [&] {
        ulawExpand(kSamples, codes.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    });
}

// --- IMA ADPCM ---

void imaEncodeKel(benchmark::State& state)
{
    timed(state, [&] {
        kelADPCM_encoder enc(adpcm_IMA4);
        const uint8_t* block = nullptr;
        for (size_t pos = 0; pos + kImaBlock <= kSamples; pos += kImaBlock)
            benchmark::DoNotOptimize(enc.encode(signal().data() + pos, kImaBlock, block));
    });
}

void imaDecodeKel(benchmark::State& state)
{
    std::vector<std::vector<uint8_t>> blocks;
    kelADPCM_encoder enc(adpcm_IMA4);
    for (size_t pos = 0; pos + kImaBlock <= kSamples; pos += kImaBlock) {
        const uint8_t* block = nullptr;
        const size_t n = enc.encode(signal().data() + pos, kImaBlock, block);
        blocks.emplace_back(block, block + n);
    }
    timed(state, [&] {
        kelADPCM_decoder dec(adpcm_IMA4);
        const int16_t* samples = nullptr;
        for (const auto& b : blocks)
            benchmark::DoNotOptimize(dec.decode(b.data(), b.size(), samples));
    });
}

void dvi4EncodeKel(benchmark::State& state)
{
    timed(state, [&] {
        kelADPCM_encoder enc(adpcm_DVI4);
        const uint8_t* block = nullptr;
        for (size_t pos = 0; pos + 160 <= kSamples; pos += 160)
            benchmark::DoNotOptimize(enc.encode(signal().data() + pos, 160, block));
    });
}

void vdviEncodeKel(benchmark::State& state)
{
    timed(state, [&] {
        kelADPCM_encoder enc(adpcm_VDVI);
        const uint8_t* block = nullptr;
        for (size_t pos = 0; pos + 160 <= kSamples; pos += 160)
            benchmark::DoNotOptimize(enc.encode(signal().data() + pos, 160, block));
    });
}

// --- GSM ---

class CountingEncoder : public kelGSMEncoder
{
public:
    using kelGSMEncoder::kelGSMEncoder;
    intptr_t bytes = 0;

protected:
    void dataAvailable(kelGSMcoder*, const uint8_t*, intptr_t len) override { bytes += len; }
};

class CountingDecoder : public kelGSMDecoder
{
public:
    using kelGSMDecoder::kelGSMDecoder;
    intptr_t bytes = 0;

protected:
    void dataAvailable(kelGSMcoder*, const uint8_t*, intptr_t len) override { bytes += len; }
};

void gsmEncodeKel(benchmark::State& state)
{
    timed(state, [&] {
        CountingEncoder enc(false);
        // 20 ms writes, as a streaming component makes them.
        for (size_t pos = 0; pos + 160 <= kSamples; pos += 160)
            enc.write(signal().data() + pos, 320);
        benchmark::DoNotOptimize(enc.bytes);
    });
}

void gsmEncodeLibgsm(benchmark::State& state)
{
    std::vector<int16_t> copy = signal();
    timed(state, [&] {
        gsm g = gsm_create();
        gsm_byte frame[33];
        for (size_t pos = 0; pos + 160 <= kSamples; pos += 160) {
            gsm_encode(g, copy.data() + pos, frame);
            benchmark::DoNotOptimize(frame);
        }
        gsm_destroy(g);
    });
}

std::string gsmFrames()
{
    std::string frames;
    gsm g = gsm_create();
    std::vector<int16_t> copy = signal();
    for (size_t pos = 0; pos + 160 <= kSamples; pos += 160) {
        gsm_byte frame[33];
        gsm_encode(g, copy.data() + pos, frame);
        frames.append(reinterpret_cast<const char*>(frame), 33);
    }
    gsm_destroy(g);
    return frames;
}

void gsmDecodeKel(benchmark::State& state)
{
    const std::string frames = gsmFrames();
    timed(state, [&] {
        CountingDecoder dec(false);
        for (size_t pos = 0; pos + 33 <= frames.size(); pos += 33)
            dec.write(frames.data() + pos, 33);
        benchmark::DoNotOptimize(dec.bytes);
    });
}

void gsmDecodeLibgsm(benchmark::State& state)
{
    std::string frames = gsmFrames();
    timed(state, [&] {
        gsm g = gsm_create();
        gsm_signal out[160];
        for (size_t pos = 0; pos + 33 <= frames.size(); pos += 33) {
            gsm_decode(g, reinterpret_cast<gsm_byte*>(frames.data()) + pos, out);
            benchmark::DoNotOptimize(out);
        }
        gsm_destroy(g);
    });
}

} // namespace

const benchmark::IterationCount kFfmpegRuns = kelBenchIterations(5);
const benchmark::IterationCount kOwnRuns = kelBenchIterations(100);

BENCHMARK(ulawEncodeKel)->Name("ulaw-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK_CAPTURE(ffmpegEncode, mulaw, "pcm_mulaw", "-f mulaw")
    ->Name("ulaw-encode/reference")
    ->UseManualTime()
    ->Iterations(kFfmpegRuns);
BENCHMARK(alawEncodeKel)->Name("alaw-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK_CAPTURE(ffmpegEncode, alaw, "pcm_alaw", "-f alaw")
    ->Name("alaw-encode/reference")
    ->UseManualTime()
    ->Iterations(kFfmpegRuns);
BENCHMARK(ulawDecodeKel)->Name("ulaw-decode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(imaEncodeKel)->Name("ima-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK_CAPTURE(ffmpegEncode, ima, "adpcm_ima_wav", "-c:a adpcm_ima_wav -block_size 256 -f wav")
    ->Name("ima-encode/reference")
    ->UseManualTime()
    ->Iterations(kFfmpegRuns);
BENCHMARK(imaDecodeKel)->Name("ima-decode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(dvi4EncodeKel)->Name("dvi4-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(vdviEncodeKel)->Name("vdvi-encode/kel")->UseManualTime()->Iterations(kOwnRuns);
BENCHMARK(gsmEncodeKel)->Name("gsm-encode/kel")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK(gsmEncodeLibgsm)->Name("gsm-encode/reference")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK_CAPTURE(ffmpegEncode, gsm, "libgsm", "-c:a libgsm -f gsm")
    ->Name("gsm-encode/ffmpeg")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(10));
BENCHMARK(gsmDecodeKel)->Name("gsm-decode/kel")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK(gsmDecodeLibgsm)->Name("gsm-decode/reference")->UseManualTime()->Iterations(kelBenchIterations(10));

KEL_BENCH_MAIN_WITH_RATIOS("reference")
