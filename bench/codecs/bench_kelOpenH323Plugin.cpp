// Encoding 60 s of 8 kHz audio through the plug-in coder (encodeChunkInPlace,
// one 20 ms frame a call) against calling the same plug-in's codec function
// directly on the same frames, for the G.711 µ-law and GSM 06.10 encoders.
// Goal: the coder within 5 % of the direct calls (ratio at most 1.05).

#include "codecs/kelOpenH323Plugin.h"
#include "kelBenchRatios.h"
#include "platform/kelDynLib.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr size_t kSamples = 60 * 8000;
constexpr unsigned kFrameBytes = 320;

const std::vector<uint8_t>& audio()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> out(kSamples * 2);
        for (size_t i = 0; i < kSamples; ++i) {
            const auto s =
                int16_t(std::lround(12000 * std::sin(double(i) * 0.07) + 3000 * std::sin(double(i) * 1.3)));
            out[2 * i] = uint8_t(uint16_t(s) & 0xFF);
            out[2 * i + 1] = uint8_t(uint16_t(s) >> 8);
        }
        return out;
    }();
    return bytes;
}

const kelString& pluginName()
{
    static const kelString name = [] {
        const std::string path = KEL_BENCH_PLUGIN;
        return kelString(path.begin(), path.end());
    }();
    return name;
}

void viaCoder(benchmark::State& state, intptr_t index)
{
    kel_openH323plugin coder(pluginName());
    if (coder.selectCodec(index) != kelEncoderOK || coder.open() != kelEncoderOK) {
        state.SkipWithError("plug-in codec not available");
        return;
    }
    const auto& in = audio();
    std::vector<uint8_t> out(kFrameBytes);
    for (auto _ : state) {
        for (size_t pos = 0; pos + kFrameBytes <= in.size(); pos += kFrameBytes) {
            uint32_t size = kFrameBytes;
            benchmark::DoNotOptimize(
                coder.encodeChunkInPlace(in.data() + pos, size, out.data(), kFrameBytes));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

void direct(benchmark::State& state, intptr_t index)
{
    kelDynLib lib;
    PluginCodec_GetCodecFunction getCodecs = nullptr;
    if (lib.open(KEL_BENCH_PLUGIN))
        getCodecs = reinterpret_cast<PluginCodec_GetCodecFunction>(lib.symbol(kelPluginGetCodecsName));
    unsigned count = 0;
    const PluginCodec_Definition* defs = getCodecs ? getCodecs(&count, kelPluginCodecVersion) : nullptr;
    if (defs == nullptr || intptr_t(count) <= index) {
        state.SkipWithError("plug-in codec not available");
        return;
    }
    const PluginCodec_Definition* def = &defs[index];
    void* context = def->createCodec(def);
    const auto& in = audio();
    std::vector<uint8_t> out(kFrameBytes);
    for (auto _ : state) {
        for (size_t pos = 0; pos + kFrameBytes <= in.size(); pos += kFrameBytes) {
            unsigned fromLen = kFrameBytes, toLen = kFrameBytes, flag = 0;
            benchmark::DoNotOptimize(
                def->codecFunction(def, context, in.data() + pos, &fromLen, out.data(), &toLen, &flag));
        }
        benchmark::ClobberMemory();
    }
    def->destroyCodec(def, context);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSamples));
}

} // namespace

BENCHMARK_CAPTURE(viaCoder, ulaw, 0)->Name("ulaw-60s-8k/coder")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(direct, ulaw, 0)->Name("ulaw-60s-8k/direct")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(viaCoder, gsm, 2)->Name("gsm-60s-8k/coder")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(direct, gsm, 2)->Name("gsm-60s-8k/direct")->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("direct")
