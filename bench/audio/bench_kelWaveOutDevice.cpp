// CPU of playback through kelWaveOutDevice, per second of sound, beside
// aplay playing the same data:
//  - stereo48k/kel, stereo48k/aplay: 48 kHz, 16 bits, stereo;
//  - multi96k/kel, multi96k/aplay: 96 kHz, 16 bits, 18 channels.
// The device plays on the virtual device in real time, fed chunk by chunk
// from its completions as a player does; aplay plays a WAV file of the same
// data to ALSA's file plugin over the null device (never a real card), so
// both count only their own work. The ratio table compares kel with aplay
// (cpu_us per second of sound, interleaved rounds). aplay missing skips its
// cases.

#include "audio/kelWaveOutDevice.h"
#include "core/kelCreate.h"
#include "kelBenchChild.h"
#include "kelBenchRatios.h"
#include "platform/kelVirtualWave.h"
#include "platform/kelWavFile.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t seconds = 1;

uint64_t processCpuUs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

WAVEFORMATEX pcm(uint32_t rate, uint16_t channels)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = uint16_t(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

std::vector<uint8_t> signal(const WAVEFORMATEX& f)
{
    std::vector<uint8_t> data(size_t(f.nAvgBytesPerSec) * seconds);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 1);
    return data;
}

double kelCpuUsPerSecond(const WAVEFORMATEX& f)
{
    const std::vector<uint8_t> data = signal(f);
    auto* device = kelCreate<kelWaveOutDevice>(kelVirtualWaveDeviceId, false, false, uintptr_t(6));
    device->setSampling(f.nSamplesPerSec, f.wBitsPerSample, f.nChannels);
    const uintptr_t chunk = device->chunkSize();
    std::atomic<size_t> offset{0};
    std::atomic<intptr_t> done{0};
    device->setOnAfterChunkDone([&](kelMsAcmStreamDevice* sender, void* buffer, uintptr_t size) {
        ++done;
        const size_t at = offset.load();
        if (at + size > data.size()) return;
        std::memcpy(buffer, data.data() + at, size);
        if (sender->write(buffer, size) == size) offset += size;
    });
    const uint64_t cpu0 = processCpuUs();
    device->open();
    device->flush(true);
    while (offset.load() + chunk <= data.size() || device->inProgress() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    device->close();
    const uint64_t cpu = processCpuUs() - cpu0;
    kelFree(device);
    return double(cpu) / double(seconds);
}

double aplayCpuUsPerSecond(const WAVEFORMATEX& f, benchmark::State& state)
{
    const std::string base = "/tmp/kel-bench-waveout-" + std::to_string(getpid());
    std::ofstream(base + ".conf") << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \""
                                  << base << "-out.wav\"\n  format \"wav\"\n}\n";
    setenv("ALSA_CONFIG_PATH", (base + ".conf").c_str(), 1);
    const std::vector<uint8_t> data = signal(f);
    std::FILE* file = std::fopen((base + "-in.wav").c_str(), "w+b");
    kelWavWriteHeader(file, f);
    std::fwrite(data.data(), 1, data.size(), file);
    kelWavFinish(file, f, data.size());
    std::fclose(file);
    const double used = kelBenchChildCpuUs({"aplay", "-q", "-D", "default", base + "-in.wav"});
    std::remove((base + "-in.wav").c_str());
    std::remove((base + "-out.wav").c_str());
    std::remove((base + ".conf").c_str());
    if (used < 0) state.SkipWithError("aplay failed");
    return used / double(seconds);
}

void kelCase(benchmark::State& state, uint32_t rate, uint16_t channels)
{
    double total = 0;
    for (auto _ : state)
        total += kelCpuUsPerSecond(pcm(rate, channels));
    state.counters["cpu_us"] = total / double(state.iterations());
}

void aplayCase(benchmark::State& state, uint32_t rate, uint16_t channels)
{
    if (access("/usr/bin/aplay", X_OK) != 0) {
        state.SkipWithError("aplay is missing (alsa-utils)");
        return;
    }
    double total = 0;
    for (auto _ : state)
        total += aplayCpuUsPerSecond(pcm(rate, channels), state);
    state.counters["cpu_us"] = total / double(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(kelCase, stereo48k, 48000, 2)
    ->Name("stereo48k/kel")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(aplayCase, stereo48k, 48000, 2)
    ->Name("stereo48k/aplay")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(kelCase, multi96k, 96000, 18)
    ->Name("multi96k/kel")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(aplayCase, multi96k, 96000, 18)
    ->Name("multi96k/aplay")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("aplay", "cpu_us")
