// The resampler component beside the bare resampler device: 60 s of
// 44.1 kHz stereo, handed over in source chunks, converted to 48 kHz stereo
// (not in real time, so on the writing thread) and passed to a consumer that
// only counts. <case>/component writes through the pipe (provider,
// component, consumer); <case>/device writes into a kelWaveResampler whose
// chunk handler counts. The ratio table compares them in interleaved
// rounds: what the component adds to the device. Cases: pcm, the built-in
// conversion (a few hundred nanoseconds a chunk, so the pipe's own cost per
// chunk shows), and speex, the Speex DSP path (skipped without the library).

#include "kelBenchRatios.h"
#include "components/kelMT_wave.h"
#include "core/kelCreate.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRate = 44100;
constexpr double kSeconds = 60;
constexpr size_t kChunkBytes = kRate / 50 * 4;

const std::string& input()
{
    static const std::string bytes = [] {
        const size_t frames = size_t(kRate * kSeconds);
        std::string out(frames * 4, '\0');
        for (size_t i = 0; i < frames; ++i) {
            const auto l = int16_t(12000 * std::sin(2 * M_PI * 440 * double(i) / kRate));
            const auto r = int16_t(12000 * std::sin(2 * M_PI * 660 * double(i) / kRate));
            std::memcpy(&out[4 * i], &l, 2);
            std::memcpy(&out[4 * i + 2], &r, 2);
        }
        return out;
    }();
    return bytes;
}

// The pipe ends around the component: a provider that hands blocks on and
// a consumer that counts them.
class Pipe final : public kelmtlInOutPipe
{
public:
    std::atomic<uint64_t> taken{0};
    bool hand(const char* data, uint32_t len) { return onNewData(const_cast<char*>(data), len, this); }
    using kelmtlInOutPipe::setIsFormatProvider;

protected:
    uint32_t doWrite(const void*, uint32_t len, kelmtlInOutPipe*) override
    {
        taken.fetch_add(len, std::memory_order_relaxed);
        return len;
    }
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool isActive() override { return true; }
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override
    {
        kelWaveFormat format{1, {kRate, 16, 2}, 3};
        return kelWriteWaveFormatBlock(format, data);
    }
};

void report(benchmark::State& state, double seconds, uint64_t produced)
{
    const uint64_t expected = uint64_t(kSeconds * 48000 * 4);
    if (produced + 48000 * 4 / 50 < expected)
        state.SkipWithError("the resampler did not put out every chunk");
    state.SetIterationTime(seconds);
    state.counters["us_per_s"] = seconds * 1e6 / kSeconds;
}

void component(benchmark::State& state, bool speex)
{
    const std::string& data = input();
    for (auto _ : state) {
        auto* sink = kelCreate<Pipe>();
        auto* resampler = kelCreate<kelmtlWaveResampler>();
        auto* provider = kelCreate<Pipe>();
        provider->setIsFormatProvider(true);
        resampler->setUseSpeexDSP(speex);
        resampler->setDst_SamplesPerSec(48000);
        (void)resampler->addConsumer(sink);
        (void)provider->addConsumer(resampler);
        const bool opened = resampler->open();
        const auto start = std::chrono::steady_clock::now();
        for (size_t at = 0; opened && at + kChunkBytes <= data.size(); at += kChunkBytes)
            (void)provider->hand(data.data() + at, uint32_t(kChunkBytes));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        report(state, seconds, sink->taken.load());
        kelFree(provider);
        kelFree(resampler);
        kelFree(sink);
    }
}

void device(benchmark::State& state, bool speex)
{
    const std::string& data = input();
    for (auto _ : state) {
        auto* resampler = kelCreate<kelWaveResampler>(false, uintptr_t(6));
        std::atomic<uint64_t> taken{0};
        resampler->setUseSpeexDSP(speex);
        (void)resampler->setSampling(true, kRate, 16, 2);
        (void)resampler->setSampling(false, 48000, 16, 2);
        (void)resampler->assignStream(false, nullptr, false);
        resampler->setOnDataAvailable([&taken](kelMsAcmStreamDevice*, void*, uintptr_t size) {
            taken.fetch_add(size, std::memory_order_relaxed);
        });
        const bool opened = resampler->open() == 0;
        if (speex && !resampler->speexAvailable()) {
            state.SkipWithError("the Speex DSP library is missing");
            kelFree(resampler);
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        for (size_t at = 0; opened && at + kChunkBytes <= data.size(); at += kChunkBytes)
            (void)resampler->write(data.data() + at, kChunkBytes);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        report(state, seconds, taken.load());
        (void)resampler->close();
        kelFree(resampler);
    }
}

} // namespace

BENCHMARK_CAPTURE(component, pcm, false)
    ->Name("pcm/component")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(5));
BENCHMARK_CAPTURE(device, pcm, false)->Name("pcm/device")->UseManualTime()->Iterations(kelBenchIterations(5));
BENCHMARK_CAPTURE(component, speex, true)
    ->Name("speex/component")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(2));
BENCHMARK_CAPTURE(device, speex, true)
    ->Name("speex/device")
    ->UseManualTime()
    ->Iterations(kelBenchIterations(2));
KEL_BENCH_MAIN_WITH_RATIOS("device", "us_per_s")
