// The wave layer and the multimedia timer in real time:
//  - timer/kel: lateness of each tick of a 5 ms periodic event behind its
//    deadline (p50_us, p99_us);
//  - virtual/kel: CPU of a virtual device playing 48 kHz stereo in 20 ms
//    chunks on the monotonic clock (cpu_us per second of sound);
//  - alsa/kel and alsa/aplay: the same half second through ALSA's file
//    plugin, by the layer and by aplay playing the same WAV file through
//    the same device (cpu_us per second of sound; the ratio table compares
//    them). The alsa case is skipped when aplay is missing.

#include "kelBenchChild.h"
#include "kelBenchRatios.h"
#include "platform/kelMonotonic.h"
#include "platform/kelTimeApi.h"
#include "platform/kelVirtualWave.h"
#include "platform/kelWavFile.h"
#include "platform/kelWaveApi.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t rate = 48000;
constexpr size_t chunkBytes = rate / 50 * 4;
constexpr size_t chunks = 25; // half a second

WAVEFORMATEX stereo16()
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = rate * 4;
    return f;
}

uint64_t processCpuUs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

struct TimerRun
{
    uint64_t setUs = 0;
    uint64_t periodUs = 5000;
    std::atomic<uint32_t> n{0};
    std::vector<double> late = std::vector<double>(400);
};

void onTick(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t)
{
    auto* run = reinterpret_cast<TimerRun*>(user);
    const uint32_t n = run->n.load();
    if (n < run->late.size()) {
        const uint64_t due = run->setUs + (n + 1) * run->periodUs;
        const uint64_t now = kelMonotonicUs();
        run->late[n] = now > due ? double(now - due) : 0.0;
    }
    run->n.store(n + 1);
}

void timerLateness(benchmark::State& state)
{
    std::vector<double> all;
    for (auto _ : state) {
        TimerRun run;
        const size_t ticks = size_t(kelBenchIterations(400));
        run.late.resize(ticks);
        run.setUs = kelMonotonicUs();
        const uint32_t id = timeSetEvent(5, 0, onTick, reinterpret_cast<uintptr_t>(&run), TIME_PERIODIC);
        while (run.n.load() < ticks) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        timeKillEvent(id);
        all.insert(all.end(), run.late.begin(), run.late.end());
    }
    state.counters["p50_us"] = percentile(all, 0.5);
    state.counters["p99_us"] = percentile(all, 0.99);
}

// Plays `chunks` chunks through `device`, keeping four queued; answers the
// process CPU used per second of sound.
struct Player
{
    std::mutex mutex;
    std::condition_variable cv;
    size_t done = 0;
};

void onDone(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t, uintptr_t)
{
    if (msg != WOM_DONE) return;
    auto* player = reinterpret_cast<Player*>(instance);
    std::lock_guard lock(player->mutex);
    ++player->done;
    player->cv.notify_all();
}

double playCpuUsPerSecond(uint32_t device, benchmark::State& state)
{
    const WAVEFORMATEX format = stereo16();
    Player player;
    HWAVEOUT handle = nullptr;
    if (waveOutOpen(&handle, device, &format, reinterpret_cast<uintptr_t>(&onDone),
                    reinterpret_cast<uintptr_t>(&player), CALLBACK_FUNCTION) != 0) {
        state.SkipWithError("open failed");
        return 0;
    }
    std::vector<std::vector<char>> data(4, std::vector<char>(chunkBytes, 1));
    std::vector<WAVEHDR> headers(4);
    const uint64_t cpu0 = processCpuUs();
    size_t written = 0;
    for (size_t i = 0; i < 4; ++i) {
        headers[i] = WAVEHDR{};
        headers[i].lpData = data[i].data();
        headers[i].dwBufferLength = uint32_t(chunkBytes);
        waveOutPrepareHeader(handle, &headers[i], sizeof(WAVEHDR));
        waveOutWrite(handle, &headers[i], sizeof(WAVEHDR));
        ++written;
    }
    std::unique_lock lock(player.mutex);
    while (player.done < chunks) {
        player.cv.wait_for(lock, std::chrono::seconds(5));
        while (written < chunks && written - player.done < 4) {
            WAVEHDR& h = headers[written % 4];
            lock.unlock();
            waveOutWrite(handle, &h, sizeof(WAVEHDR));
            lock.lock();
            ++written;
        }
    }
    lock.unlock();
    const uint64_t cpu = processCpuUs() - cpu0;
    for (WAVEHDR& h : headers)
        waveOutUnprepareHeader(handle, &h, sizeof(WAVEHDR));
    waveOutClose(handle);
    return double(cpu) / (double(chunks) / 50.0);
}

void virtualDevice(benchmark::State& state)
{
    double total = 0;
    for (auto _ : state)
        total += playCpuUsPerSecond(0, state);
    state.counters["cpu_us"] = total / double(state.iterations());
}

std::string alsaSetup()
{
    const std::string base = "/tmp/kel-bench-wave-" + std::to_string(getpid());
    std::ofstream(base + ".conf") << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \""
                                  << base << "-out.wav\"\n  format \"wav\"\n}\n";
    setenv("ALSA_CONFIG_PATH", (base + ".conf").c_str(), 1);
    std::FILE* file = std::fopen((base + "-in.wav").c_str(), "w+b");
    const WAVEFORMATEX format = stereo16();
    kelWavWriteHeader(file, format);
    const std::vector<char> chunk(chunkBytes, 1);
    for (size_t i = 0; i < chunks; ++i)
        std::fwrite(chunk.data(), 1, chunk.size(), file);
    kelWavFinish(file, format, chunks * chunkBytes);
    std::fclose(file);
    return base;
}

void alsaKel(benchmark::State& state)
{
    const std::string base = alsaSetup();
    double total = 0;
    for (auto _ : state)
        total += playCpuUsPerSecond(WAVE_MAPPER, state);
    state.counters["cpu_us"] = total / double(state.iterations());
}

void alsaAplay(benchmark::State& state)
{
    const std::string base = alsaSetup();
    if (access("/usr/bin/aplay", X_OK) != 0) {
        state.SkipWithError("aplay is missing (alsa-utils)");
        return;
    }
    double total = 0;
    for (auto _ : state) {
        const double used = kelBenchChildCpuUs({"/usr/bin/aplay", "-q", "-D", "default", base + "-in.wav"});
        if (used < 0) {
            state.SkipWithError("aplay failed");
            break;
        }
        total += used / (double(chunks) / 50.0);
    }
    state.counters["cpu_us"] = total / double(state.iterations());
}

} // namespace

BENCHMARK(timerLateness)->Name("timer/kel")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(virtualDevice)->Name("virtual/kel")->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(alsaKel)->Name("alsa/kel")->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(alsaAplay)->Name("alsa/aplay")->Iterations(5)->Unit(benchmark::kMillisecond);

KEL_BENCH_MAIN_WITH_RATIOS("aplay", "cpu_us")
