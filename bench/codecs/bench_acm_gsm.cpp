// GSM 06.10 (WAV49 blocks) through the compression manager's built-in
// driver against libgsm called directly on the same samples, encoding and
// decoding 60 s of 8 kHz test signal. Goal: the driver at least 0.95x
// libgsm's throughput (a time ratio of at most 1.05). The driver converts
// 200 ms per call through one prepared header, as a codec device does with
// its chunks; the reference codes the frame pairs from one array. Times are
// the process's CPU time.

#include "codecs/kelAcmDrivers.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"
#include "kelBenchSignals.h"
#include "platform/kelAcmApi.h"

#include <gsm.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kSamples = 8000 * 60;
constexpr size_t kChunkSamples = 1600; // 200 ms: five WAV49 blocks
constexpr size_t kBlockSamples = 320;
constexpr size_t kBlockBytes = 65;

const std::vector<int16_t>& signal()
{
    static const std::vector<int16_t> s = kelBenchSpeechLike(kSamples, 11, 180, 3);
    return s;
}

std::vector<uint8_t> pcmFormat()
{
    WAVEFORMATEX f{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    std::vector<uint8_t> r(sizeof f);
    std::memcpy(r.data(), &f, sizeof f);
    return r;
}

std::vector<uint8_t> gsmFormat()
{
    GSM610WAVEFORMAT f{{WAVE_FORMAT_GSM610, 1, 8000, 1625, 65, 0, 2}, 320};
    std::vector<uint8_t> r(sizeof f);
    std::memcpy(r.data(), &f, sizeof f);
    return r;
}

template <class F> void timed(benchmark::State& state, F&& body)
{
    for (auto _ : state) {
        // CPU time: on a shared machine wall time mostly measures the others.
        const uint64_t start = kelBenchProcessCpuNs();
        body();
        state.SetIterationTime(double(kelBenchProcessCpuNs() - start) / 1e9);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

// Converts `in` in chunks of `chunk` bytes through one stream and one
// prepared header; the bytes produced.
size_t throughDriver(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst, const uint8_t* in,
                     size_t size, size_t chunk, size_t room)
{
    HACMSTREAM stream = nullptr;
    if (acmStreamOpen(&stream, nullptr, reinterpret_cast<const WAVEFORMATEX*>(src.data()),
                      reinterpret_cast<const WAVEFORMATEX*>(dst.data()), nullptr, 0, 0, 0) != 0)
        return 0;
    std::vector<uint8_t> srcBuf(chunk), dstBuf(room);
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = srcBuf.data();
    header.cbSrcLength = uint32_t(chunk);
    header.pbDst = dstBuf.data();
    header.cbDstLength = uint32_t(room);
    size_t produced = 0;
    if (acmStreamPrepareHeader(stream, &header, 0) == 0) {
        uint32_t flags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
        for (size_t pos = 0; pos + chunk <= size; pos += chunk) {
            std::memcpy(srcBuf.data(), in + pos, chunk);
            if (acmStreamConvert(stream, &header, flags) != 0) break;
            flags = ACM_STREAMCONVERTF_BLOCKALIGN;
            produced += header.cbDstLengthUsed;
            benchmark::DoNotOptimize(dstBuf.data());
        }
        acmStreamUnprepareHeader(stream, &header, 0);
    }
    acmStreamClose(stream, 0);
    return produced;
}

gsm wav49()
{
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    return g;
}

const std::string& blocks()
{
    static const std::string b = [] {
        std::string out;
        gsm g = wav49();
        std::vector<int16_t> copy = signal();
        gsm_byte block[kBlockBytes];
        for (size_t pos = 0; pos + kBlockSamples <= kSamples; pos += kBlockSamples) {
            gsm_encode(g, copy.data() + pos, block);
            gsm_encode(g, copy.data() + pos + 160, block + 32);
            out.append(reinterpret_cast<const char*>(block), kBlockBytes);
        }
        gsm_destroy(g);
        return out;
    }();
    return b;
}

void encodeDriver(benchmark::State& state)
{
    kelAcmRegisterBuiltInDrivers();
    const auto src = pcmFormat(), dst = gsmFormat();
    const auto* in = reinterpret_cast<const uint8_t*>(signal().data());
    timed(state, [&] {
        const size_t n = throughDriver(src, dst, in, kSamples * 2, kChunkSamples * 2,
                                       kChunkSamples / kBlockSamples * kBlockBytes);
        if (n != kSamples / kBlockSamples * kBlockBytes)
            state.SkipWithError("the driver did not code every block");
    });
}

void encodeLibgsm(benchmark::State& state)
{
    std::vector<int16_t> copy = signal();
    timed(state, [&] {
        gsm g = wav49();
        gsm_byte block[kBlockBytes];
        for (size_t pos = 0; pos + kBlockSamples <= kSamples; pos += kBlockSamples) {
            gsm_encode(g, copy.data() + pos, block);
            gsm_encode(g, copy.data() + pos + 160, block + 32);
            benchmark::DoNotOptimize(block);
        }
        gsm_destroy(g);
    });
}

void decodeDriver(benchmark::State& state)
{
    kelAcmRegisterBuiltInDrivers();
    const auto src = gsmFormat(), dst = pcmFormat();
    const auto* in = reinterpret_cast<const uint8_t*>(blocks().data());
    const size_t chunk = kChunkSamples / kBlockSamples * kBlockBytes;
    timed(state, [&] {
        const size_t n = throughDriver(src, dst, in, blocks().size(), chunk, kChunkSamples * 2);
        if (n != kSamples * 2) state.SkipWithError("the driver did not decode every block");
    });
}

void decodeLibgsm(benchmark::State& state)
{
    std::string copy = blocks();
    timed(state, [&] {
        gsm g = wav49();
        gsm_signal out[160];
        auto* p = reinterpret_cast<gsm_byte*>(copy.data());
        for (size_t pos = 0; pos + kBlockBytes <= copy.size(); pos += kBlockBytes) {
            gsm_decode(g, p + pos, out);
            gsm_decode(g, p + pos + 33, out);
            benchmark::DoNotOptimize(out);
        }
        gsm_destroy(g);
    });
}

} // namespace

BENCHMARK(encodeDriver)->Name("gsm-encode/driver")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK(encodeLibgsm)->Name("gsm-encode/reference")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK(decodeDriver)->Name("gsm-decode/driver")->UseManualTime()->Iterations(kelBenchIterations(10));
BENCHMARK(decodeLibgsm)->Name("gsm-decode/reference")->UseManualTime()->Iterations(kelBenchIterations(10));

KEL_BENCH_MAIN_WITH_RATIOS("reference")
