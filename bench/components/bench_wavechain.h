#pragma once
// What the wave chain benchmarks share: the input files, the CPU meter, a
// bounded wait, sox's side and the measure of a case.
//
// Every side is measured alike: the CPU one run over the long file used,
// less the CPU the same run over a one-chunk file used. That takes out what
// a run costs whatever its length (a process starting and loading its
// libraries for sox; making, opening and freeing the components, threads
// included, for us), and leaves the cost of the audio itself, per second.

#include "kelBenchChild.h"
#include "kelBenchClock.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelWaveChainBench {

inline constexpr uint32_t kRate = 48000;
inline constexpr uint32_t kFrameBytes = 4; // 16-bit stereo
inline constexpr double kFileSeconds = 10;
inline constexpr size_t kChunksPerSecond = 50;
inline constexpr size_t kTinyFrames = kRate / kChunksPerSecond; // one chunk
inline constexpr int kSoxRuns = 15;

inline std::string scratch(const std::string& name)
{
    return "/tmp/kel_bench_wavechain_" + std::to_string(::getpid()) + "_" + name;
}

inline void putTag(std::vector<uint8_t>& out, const char* tag)
{
    out.insert(out.end(), tag, tag + 4);
}

inline void putLe(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A 16-bit stereo WAV file at `rate` of two tones, 440 Hz left and 660 Hz
// right, of `amplitude` (`phase` shifts them, so two files differ).
inline bool writeStereoWave(const std::string& path, size_t frames, uint32_t rate, double amplitude,
                            double phase = 0)
{
    std::vector<uint8_t> file;
    const uint32_t dataBytes = uint32_t(frames * kFrameBytes);
    file.reserve(44 + dataBytes);
    putTag(file, "RIFF");
    putLe(file, 36 + dataBytes, 4);
    putTag(file, "WAVE");
    putTag(file, "fmt ");
    putLe(file, 16, 4);
    putLe(file, 1, 2);
    putLe(file, 2, 2);
    putLe(file, rate, 4);
    putLe(file, rate * kFrameBytes, 4);
    putLe(file, kFrameBytes, 2);
    putLe(file, 16, 2);
    putTag(file, "data");
    putLe(file, dataBytes, 4);
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        putLe(file, uint16_t(int16_t(amplitude * std::sin(2 * M_PI * 440 * t + phase))), 2);
        putLe(file, uint16_t(int16_t(amplitude * std::sin(2 * M_PI * 660 * t + phase))), 2);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

inline size_t dataBytes(bool tiny)
{
    return (tiny ? kTinyFrames : size_t(kFileSeconds * kRate)) * kFrameBytes;
}

inline const std::string& inputFile(bool tiny)
{
    static const std::string big = scratch("in.wav");
    static const std::string small = scratch("tiny.wav");
    static const bool written = writeStereoWave(big, dataBytes(false) / kFrameBytes, kRate, 12000) &&
                                writeStereoWave(small, dataBytes(true) / kFrameBytes, kRate, 12000);
    (void)written;
    return tiny ? small : big;
}

struct Scratch
{
    ~Scratch()
    {
        for (const char* name : {"in.wav", "tiny.wav", "out.wav"})
            std::remove(scratch(name).c_str());
    }
};
inline Scratch g_scratch;

// The process's CPU time over one run of a chain, less what the measuring
// thread spent looking for the run's end (a cost sox's parent does not
// have: it blocks in waitpid). The thread sleeps until the chain says its
// stream is done (kick), and only then polls for the end every 2 ms.
class CpuMeter
{
public:
    CpuMeter() : f_start(kelBenchProcessCpuNs()) {}

    // Any thread.
    void kick()
    {
        {
            std::lock_guard lock(f_mutex);
            f_kicked = true;
        }
        f_kick.notify_all();
    }

    // Runs `work` on this thread with its CPU left out of usedUs(): the
    // measuring thread's own driving or waiting. What `work` returns.
    bool leaveOut(const std::function<bool()>& work)
    {
        const uint64_t own = kelBenchThreadCpuNs();
        const bool result = work();
        f_waited += kelBenchThreadCpuNs() - own;
        return result;
    }

    bool waitFor(const std::function<bool()>& condition, int timeoutMs)
    {
        return leaveOut([&] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            {
                std::unique_lock lock(f_mutex);
                f_kick.wait_until(lock, end, [this] { return f_kicked; });
            }
            bool met = condition();
            while (!met && std::chrono::steady_clock::now() <= end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                met = condition();
            }
            return met;
        });
    }

    double usedUs() const { return double(kelBenchProcessCpuNs() - f_start - f_waited) / 1e3; }

private:
    uint64_t f_start;
    uint64_t f_waited = 0;
    std::mutex f_mutex;
    std::condition_variable f_kick;
    bool f_kicked = false;
};

// sox with `args` (the program first): its user and system time in
// microseconds, the median of kSoxRuns runs (one run of sox over a short
// file takes a few milliseconds, and a process start varies by about as
// much); -1 on failure. Removes what it wrote to scratch("out.wav").
inline double soxCpuUs(const std::vector<std::string>& args)
{
    std::vector<double> runs;
    for (int i = 0; i < kSoxRuns; ++i) {
        const double used = kelBenchChildCpuUs(args);
        std::remove(scratch("out.wav").c_str());
        if (used < 0) return -1;
        runs.push_back(used);
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

inline bool soxPresent()
{
    return std::system("command -v sox >/dev/null 2>&1") == 0;
}

// One case measured as the top of this file says: `run(tiny)` is one run's
// CPU in microseconds (-1 when it failed, which skips the case with
// `failure`), over a file of `seconds` or a one-chunk one. Reports cpu_us
// per second of audio and times the iteration by the difference.
inline void measureLongLessTiny(benchmark::State& state, double seconds,
                                const std::function<double(bool)>& run, const char* failure)
{
    double total = 0;
    for (auto _ : state) {
        const double big = run(false);
        const double small = run(true);
        if (big < 0 || small < 0) {
            state.SkipWithError(failure);
            return;
        }
        const double used = std::max(big - small, 1.0);
        total += used / seconds;
        state.SetIterationTime(used / 1e6);
    }
    state.counters["cpu_us"] = total / double(state.iterations());
}

// sox's side of a case: `args(tiny)` is its whole command line.
inline void measureSox(benchmark::State& state, double seconds,
                       const std::function<std::vector<std::string>(bool)>& args)
{
    if (!soxPresent()) {
        state.SkipWithError("sox is missing");
        return;
    }
    measureLongLessTiny(
        state, seconds, [&](bool tiny) { return soxCpuUs(args(tiny)); }, "sox failed");
}

} // namespace kelWaveChainBench
