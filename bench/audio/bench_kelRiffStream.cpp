// Reading a 10-minute 48 kHz 16-bit stereo WAV file in chunks, as a file
// source does (passive readData, 3840-byte chunks), against sox converting
// the same file to raw samples in one run. The file is made once with sox;
// without sox the program says so and runs nothing.

#include "audio/kelRIFF.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "kelBenchRatios.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string& benchFile()
{
    static const std::string name = [] {
        std::string path = "/tmp/kelBenchRiff-" + std::to_string(::getpid()) + ".wav";
        const std::string cmd =
            "sox -D -n -r 48000 -b 16 -c 2 '" + path + "' synth 600 sine 300-3000 sine 500 >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) path.clear();
        return path;
    }();
    return name;
}

struct RemoveFile
{
    ~RemoveFile()
    {
        if (!benchFile().empty()) ::unlink(benchFile().c_str());
    }
} removeAtExit;

void readKel(benchmark::State& state)
{
    if (benchFile().empty()) {
        state.SkipWithError("sox is not installed");
        return;
    }
    std::vector<uint8_t> chunk(3840);
    for (auto _ : state) {
        kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(benchFile()), false, false));
        if (!stream || stream->passiveOpen() != 0) {
            state.SkipWithError("the file did not open");
            return;
        }
        uint64_t bytes = 0;
        while (uintptr_t n = stream->readData(chunk.data(), chunk.size()))
            bytes += n;
        benchmark::DoNotOptimize(bytes);
    }
}

void readSox(benchmark::State& state)
{
    if (benchFile().empty()) {
        state.SkipWithError("sox is not installed");
        return;
    }
    const std::string cmd = "sox '" + benchFile() + "' -t raw /dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("sox failed");
}

} // namespace

BENCHMARK(readKel)
    ->Name("read-10min-48k-stereo/kel")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(readSox)
    ->Name("read-10min-48k-stereo/sox")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("sox")
