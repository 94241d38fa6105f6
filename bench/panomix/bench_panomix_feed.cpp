// The panomix feed loop at its heaviest: 96 kHz, "Direct Out" (18
// channels), 32 sources each mapped to two speakers, one 20 ms chunk per
// iteration; beside a plain loop doing the same saturating additions into
// the same interleaved buffer. The sources' chunks stay as they are, so
// both sides do only the mixing.
//
// Goal: the feed loop within 1.3 of the plain loop, and under 1% of a core
// (the core_pct counter: CPU time per second of audio, in percent).

#include "apps/panomix/panomixEngine.h"
#include "kelBenchRatios.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr uint32_t kRate = 96000;
constexpr size_t kChannels = 18;
constexpr size_t kSources = 32;
constexpr size_t kFrames = kRate / 50;
constexpr size_t kBytes = kFrames * kChannels * 2;

uint32_t mappingOf(size_t source)
{
    return (1u << (source % kChannels)) | (1u << ((source + 7) % kChannels));
}

std::vector<int16_t> noiseChunk(size_t source)
{
    std::mt19937 rng(unsigned(source + 1));
    std::vector<int16_t> chunk(kFrames);
    for (int16_t& s : chunk)
        s = int16_t(rng());
    return chunk;
}

// A source whose chunk is fixed noise: preparing the next one costs nothing.
class fixedSource final : public kelAudioSource
{
public:
    explicit fixedSource(size_t index) : kelAudioSource(kelASTypeSine, u"bench"), f_index(index) {}

protected:
    void rateChanged(uintptr_t) override { f_chunk = noiseChunk(f_index); }
    bool getActive() override { return true; }
    void doStart() override {}
    void doStop() override {}
    void doPrepareNextChunk() override {}

private:
    size_t f_index;
};

// An output that takes every write and plays nothing.
class nullOutput final : public panomixOutput
{
public:
    void setFeedDoneHandler(feedDoneHandler) override {}
    uint32_t pcm_samplesPerSec() const override { return f_rate; }
    void set_pcm_samplesPerSec(uint32_t rate) override { f_rate = rate; }
    uint32_t pcm_numChannels() const override { return f_channels; }
    void set_pcm_numChannels(uint32_t channels) override { f_channels = channels; }
    uint32_t pcm_channelMask() const override { return f_mask; }
    void set_pcm_channelMask(uint32_t mask) override { f_mask = mask; }
    uint64_t nAvgBytesPerSec() const override { return uint64_t(f_rate) * f_channels * 2; }
    bool open() override { return true; }
    void close() override {}
    bool active() const override { return true; }
    void flush() override {}
    size_t write(const uint8_t*, size_t len) override { return len; }

private:
    uint32_t f_rate = 44100, f_channels = 2, f_mask = 3;
};

void reportCore(benchmark::State& state)
{
    // Iterations are chunks, 50 to a second of audio: CPU seconds per
    // second of audio, in percent (printed with an "s" suffix, as every
    // inverted rate).
    state.counters["core_pct"] = benchmark::Counter(
        double(state.iterations()) / 50 / 100, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kFrames * kChannels));
}

void feedLoop(benchmark::State& state)
{
    size_t made = 0;
    panomixEngine engine(
        std::make_unique<nullOutput>(),
        [&made](intptr_t, const kelString&) -> kelAudioSource* { return kelCreate<fixedSource>(made++); });
    engine.applyConfiguration(0);
    for (size_t s = 0; s < kSources; ++s)
        engine.sources().addSource(kelASTypeSine, u"bench", mappingOf(s));
    engine.open(u"96000");
    std::vector<uint8_t> buffer(kBytes);
    for (auto _ : state) {
        engine.feedDone(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    engine.close();
    reportCore(state);
}

void plainLoop(benchmark::State& state)
{
    std::vector<std::vector<int16_t>> chunks;
    std::vector<uint32_t> masks;
    for (size_t s = 0; s < kSources; ++s) {
        chunks.push_back(noiseChunk(s));
        masks.push_back(mappingOf(s));
    }
    std::vector<int16_t> buffer(kFrames * kChannels);
    for (auto _ : state) {
        std::memset(buffer.data(), 0, buffer.size() * 2);
        for (size_t ch = 0; ch < kChannels; ++ch)
            for (size_t s = 0; s < kSources; ++s) {
                if ((masks[s] & (1u << ch)) == 0) continue;
                const int16_t* chunk = chunks[s].data();
                for (size_t i = 0; i < kFrames; ++i) {
                    int16_t& out = buffer[i * kChannels + ch];
                    out = int16_t(std::clamp(int32_t(out) + chunk[i], -32768, 32767));
                }
            }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    reportCore(state);
}

} // namespace

BENCHMARK(feedLoop)->Name("feed-96k-18ch-32src/panomix");
BENCHMARK(plainLoop)->Name("feed-96k-18ch-32src/plain-loop");

KEL_BENCH_MAIN_WITH_RATIOS("plain-loop", "core_pct")
