// Demultiplexing a 150 MB two-program transport stream (MP2 audio, SDT,
// NIT) fed in 1316-byte blocks, as datagrams bring it, against ffmpeg
// copying every stream of the same file to nowhere, in processor time.
// Goal: at least 1.5x ffmpeg's bytes per processor second (a time ratio of
// at most 0.67). The file is made once with ffmpeg; both sides read it from
// the file. Without ffmpeg the program says so and runs nothing.

#include "codecs/kelMpeg.h"
#include "kelBenchChild.h"
#include "kelBenchMp3.h"
#include "kelBenchRatios.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 1316;

// About 150 MB: two 384 kbit/s MP2 streams multiplexed at 1 Mbit/s for 20
// minutes.
const std::string& benchFile()
{
    static const std::string* name = new std::string([] {
        std::string path = "/tmp/kelBenchTS-" + std::to_string(::getpid()) + ".ts";
        const std::string cmd =
            "ffmpeg -v error -f lavfi -i sine=f=440:r=48000:d=1200 -f lavfi -i sine=f=880:r=44100:d=1200 "
            "-map 0:a -map 1:a -c:a mp2 -b:a 384k -program program_num=1:st=0 -program program_num=2:st=1 "
            "-mpegts_flags +nit+system_b -muxrate 1000k -f mpegts -y '" +
            path + "' </dev/null >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) path.clear();
        return path;
    }());
    static const struct Remover
    {
        ~Remover()
        {
            if (!name->empty()) ::unlink(name->c_str());
        }
    } remover;
    (void)remover;
    return *name;
}

class Counting : public kelMpegTSDemuxer
{
public:
    using kelMpegTSDemuxer::kelMpegTSDemuxer;
    int64_t bytes = 0;

protected:
    void onPayload(uint32_t, const uint8_t*, intptr_t len, void*) override { bytes += len; }
};

int64_t demuxOnce()
{
    FILE* f = std::fopen(benchFile().c_str(), "rb");
    if (f == nullptr) return -1;
    kelBitReader_stream reader;
    Counting demuxer(&reader);
    std::vector<uint8_t> block(kBlock);
    for (size_t got; (got = std::fread(block.data(), 1, kBlock, f)) > 0;) {
        reader.write(block.data(), intptr_t(got));
        demuxer.demux(true, true, nullptr);
    }
    std::fclose(f);
    return demuxer.bytes;
}

int64_t fileBytes()
{
    FILE* f = std::fopen(benchFile().c_str(), "rb");
    if (f == nullptr) return 0;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size;
}

void demuxKel(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    for (auto _ : state) {
        const double start = kelBenchProcessCpuSeconds();
        benchmark::DoNotOptimize(demuxOnce());
        state.SetIterationTime(kelBenchProcessCpuSeconds() - start);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * fileBytes());
}

void demuxFfmpeg(benchmark::State& state)
{
    if (benchFile().empty()) return state.SkipWithError("ffmpeg is not installed");
    const std::vector<std::string> args = {"ffmpeg", "-v", "error", "-f",   "mpegts", "-i",   benchFile(),
                                           "-map",   "0",  "-c",    "copy", "-f",     "null", "-"};
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs(args);
        if (us < 0) return state.SkipWithError("ffmpeg failed");
        state.SetIterationTime(us / 1e6);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * fileBytes());
}

} // namespace

BENCHMARK(demuxKel)
    ->Name("demux-150MB-ts/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(2));
BENCHMARK(demuxFfmpeg)
    ->Name("demux-150MB-ts/ffmpeg")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(2));

KEL_BENCH_MAIN_WITH_RATIOS("ffmpeg")
