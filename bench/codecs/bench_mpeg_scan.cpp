// Scanning a 60-minute 128 kbit/s MP3 file for its frames (the frame finder
// over a file bit reader, every frame copied out) against ffprobe counting
// the file's packets, in processor time. The file is made once with ffmpeg;
// both sides must count the same frames. Without ffmpeg/ffprobe the program
// says so and runs nothing.

#include "codecs/kelMpeg.h"
#include "core/kelUtf.h"
#include "kelBenchChild.h"
#include "kelBenchMp3.h"
#include "kelBenchRatios.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

const std::string& benchFile()
{
    return kelBenchMp3File(3600);
}

// The frames the finder finds in the file.
long scanOnce()
{
    kelBitReader_file reader(utf8ToUtf16(benchFile()));
    kelMpegAudio_layer123 finder(&reader);
    std::vector<uint8_t> frame(static_cast<size_t>(kelMpegAudio_layer123::kMaxFrameBytes));
    kelMpegHeader h;
    intptr_t at = 0;
    intptr_t skip = 0;
    intptr_t size = 0;
    long frames = 0;
    while (finder.nextFrame(h, at, skip, frame.data(), size) == kelMpegFrameFound)
        ++frames;
    return frames;
}

// ffprobe's packet count, which leaves out the encoder's Info frame.
long probeCount()
{
    const std::string cmd =
        "ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + benchFile() +
        "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    long count = -1;
    if (std::fscanf(p, "%ld", &count) != 1) count = -1;
    ::pclose(p);
    return count;
}

bool countsAgree()
{
    static const bool agree = [] {
        const long ours = scanOnce();
        const long theirs = probeCount();
        std::printf("frames: ours %ld (Info frame included), ffprobe %ld\n", ours, theirs);
        return theirs > 0 && ours == theirs + 1;
    }();
    return agree;
}

void scanKel(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    if (!countsAgree()) return state.SkipWithError("the frame counts differ from ffprobe's");
    for (auto _ : state) {
        const double start = kelBenchProcessCpuSeconds();
        benchmark::DoNotOptimize(scanOnce());
        state.SetIterationTime(kelBenchProcessCpuSeconds() - start);
    }
}

void scanFfprobe(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    const std::vector<std::string> args = {
        "ffprobe", "-v", "error", "-count_packets", "-show_entries", "stream=nb_read_packets", benchFile()};
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs(args);
        if (us < 0) return state.SkipWithError("ffprobe failed");
        state.SetIterationTime(us / 1e6);
    }
}

} // namespace

BENCHMARK(scanKel)
    ->Name("scan-60min-mp3/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(scanFfprobe)
    ->Name("scan-60min-mp3/ffprobe")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("ffprobe")
