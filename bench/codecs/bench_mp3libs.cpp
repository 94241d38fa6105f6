// MP3 coding through our bindings beside the command-line tools of the same
// libraries, in processor time, in interleaved rounds (goal: at least 1.05x
// their speed, the ratio below 0.95):
//  - encoding 60 s of 44.1 kHz stereo at CBR 128 kbit/s without the bit
//    reservoir: kelLameEncoder against `lame -r --cbr -b 128 --nores -t`;
//  - decoding the stream that makes: kelLibmpg123Decoder fed in 64 KiB
//    pieces against `mpg123 -s`.
// Both sides read the same files; the tools write to /dev/null. Without
// lame or the libraries the program says so and runs nothing.

#include "codecs/kelBladeEncAPI.h"
#include "codecs/kelMpgLibAPI.h"
#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr uint32_t kRate = 44100;
constexpr size_t kSeconds = 60;

std::string scratch(const char* name)
{
    return "/tmp/kelBenchMp3-" + std::to_string(::getpid()) + "-" + name;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A chord with a sweep and noise, written once; empty when lame is missing.
const std::string& rawFile()
{
    static const std::string path = [] {
        if (std::system("command -v lame >/dev/null 2>&1 && command -v mpg123 >/dev/null 2>&1") != 0)
            return std::string();
        std::string pcm(kRate * kSeconds * 4, '\0');
        uint32_t seed = 7;
        for (size_t i = 0; i < kRate * kSeconds; ++i)
            for (size_t c = 0; c < 2; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const double t = double(i) / kRate;
                const double v = 7000 * std::sin(2 * M_PI * (220 + 110 * c) * t) +
                                 4000 * std::sin(2 * M_PI * (660 + 20 * std::fmod(t, 10.0)) * t) +
                                 double(int32_t(seed >> 21) - 1024);
                const auto s = uint16_t(int16_t(std::lround(v)));
                pcm[(i * 2 + c) * 2] = char(s & 0xFF);
                pcm[(i * 2 + c) * 2 + 1] = char(s >> 8);
            }
        const std::string name = scratch("in.raw");
        std::ofstream(name, std::ios::binary) << pcm;
        return name;
    }();
    return path;
}

const std::string& mp3File()
{
    static const std::string path = [] {
        if (rawFile().empty()) return std::string();
        const std::string name = scratch("in.mp3");
        const std::string cmd =
            "lame --quiet -r --cbr -b 128 --nores -t '" + rawFile() + "' '" + name + "' >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0 ? name : std::string();
    }();
    return path;
}

struct RemoveFiles
{
    ~RemoveFiles()
    {
        ::unlink(scratch("in.raw").c_str());
        ::unlink(scratch("in.mp3").c_str());
    }
} removeAtExit;

void encodeKel(benchmark::State& state)
{
    kelLameEncoder probe;
    if (rawFile().empty() || !probe.libOK()) {
        state.SkipWithError("lame, mpg123 or libmp3lame.so.0 is missing");
        return;
    }
    uint64_t produced = 0;
    for (auto _ : state) {
        const uint64_t start = kelBenchProcessCpuNs();
        const std::string pcm = readAll(rawFile());
        kelLameEncoder enc;
        enc.setOnDataAvailable(
            [&](kelLameEncoder*, uint32_t, const void*, uint32_t size) { produced += size; });
        if (enc.open(128, true) != BE_ERR_SUCCESSFUL) {
            state.SkipWithError("the encoder did not open");
            return;
        }
        for (size_t at = 0; at < pcm.size(); at += kPiece)
            enc.encode(pcm.data() + at, uint32_t(std::min(kPiece, pcm.size() - at)));
        enc.close();
        state.SetIterationTime(double(kelBenchProcessCpuNs() - start) / 1e9);
    }
    benchmark::DoNotOptimize(produced);
}

void encodeCli(benchmark::State& state)
{
    if (rawFile().empty()) {
        state.SkipWithError("lame or mpg123 is missing");
        return;
    }
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs(
            {"lame", "--quiet", "-r", "--cbr", "-b", "128", "--nores", "-t", rawFile(), "/dev/null"});
        if (us < 0) {
            state.SkipWithError("lame failed");
            return;
        }
        state.SetIterationTime(us / 1e6);
    }
}

void decodeKel(benchmark::State& state)
{
    kelLibmpg123Decoder probe;
    if (mp3File().empty() || !probe.libOK()) {
        state.SkipWithError("lame, mpg123 or libmpg123.so.0 is missing");
        return;
    }
    uint64_t produced = 0;
    std::vector<char> out(kPiece);
    for (auto _ : state) {
        const uint64_t start = kelBenchProcessCpuNs();
        const std::string mp3 = readAll(mp3File());
        kelLibmpg123Decoder dec;
        dec.open();
        for (size_t at = 0; at < mp3.size(); at += kPiece) {
            dec.feed(mp3.data() + at, std::min(kPiece, mp3.size() - at));
            for (;;) {
                size_t got = out.size();
                const int r = dec.read(out.data(), got);
                produced += got;
                if (r != kelMpg123Ok && r != kelMpg123NewFormat) break;
            }
        }
        state.SetIterationTime(double(kelBenchProcessCpuNs() - start) / 1e9);
    }
    benchmark::DoNotOptimize(produced);
}

void decodeCli(benchmark::State& state)
{
    if (mp3File().empty()) {
        state.SkipWithError("lame or mpg123 is missing");
        return;
    }
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs({"mpg123", "-q", "-s", mp3File()});
        if (us < 0) {
            state.SkipWithError("mpg123 failed");
            return;
        }
        state.SetIterationTime(us / 1e6);
    }
}

} // namespace

BENCHMARK(encodeKel)
    ->Name("lame-cbr128-60s-44k-stereo/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(encodeCli)
    ->Name("lame-cbr128-60s-44k-stereo/cli")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(decodeKel)
    ->Name("mpg123-60s-44k-stereo/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(5));
BENCHMARK(decodeCli)
    ->Name("mpg123-60s-44k-stereo/cli")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(5));

KEL_BENCH_MAIN_WITH_RATIOS("cli")
