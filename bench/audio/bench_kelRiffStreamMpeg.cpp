// Passing every frame of a 10-minute 128 kbit/s MP3 file through
// kelRiffStream (passive reads, one frame each) against ffmpeg copying the
// same frames into an MP3 stream, in processor time. The file is made once
// with ffmpeg; without it the program says so and runs nothing.

#include "audio/kelRIFF.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "kelBenchChild.h"
#include "kelBenchMp3.h"
#include "kelBenchRatios.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

const std::string& benchFile()
{
    return kelBenchMp3File(600);
}

void passKel(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    std::vector<uint8_t> frame(8000);
    for (auto _ : state) {
        const double start = kelBenchProcessCpuSeconds();
        kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(benchFile()), false, false));
        if (!stream || stream->fileType() != kelRiffFileMpeg || stream->passiveOpen() != 0)
            return state.SkipWithError("the file was not taken as MPEG audio");
        uint64_t bytes = 0;
        while (uintptr_t n = stream->readData(frame.data(), frame.size()))
            bytes += n;
        benchmark::DoNotOptimize(bytes);
        state.SetIterationTime(kelBenchProcessCpuSeconds() - start);
    }
}

void passFfmpeg(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    const std::vector<std::string> args = {"ffmpeg", "-v", "error", "-i", benchFile(), "-c",
                                           "copy",   "-f", "mp3",   "-y", "/dev/null"};
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs(args);
        if (us < 0) return state.SkipWithError("ffmpeg failed");
        state.SetIterationTime(us / 1e6);
    }
}

} // namespace

BENCHMARK(passKel)
    ->Name("pass-10min-mp3/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(passFfmpeg)
    ->Name("pass-10min-mp3/ffmpeg")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("ffmpeg")
