// Our SHOUTcast/Icecast source beside ffmpeg's (-c copy), both streaming
// the same 20 MB MP3 as fast as icecast2 takes it, into an icecast2 started
// here on 127.0.0.1 from a configuration of our own. The time compared is
// processor time (user + system) per run: ours is the process's own around
// the login and the sends, ffmpeg's is its child time. Goal: ours at most
// half of ffmpeg's.
#include "kelBenchChild.h"
#include "kelBenchRatios.h"

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSocks_SHOUT.h"
#include "tests/support/kelTestIcecast.h"

#include <sys/resource.h>

#include <memory>
#include <string>

namespace {

struct Setup
{
    kelTempDir dir;
    kelTestIcecast ice;
    std::string mp3;
    std::string bytes;
    bool ok = false;
};

Setup& setup()
{
    static Setup s;
    static bool done = false;
    if (done) return s;
    done = true;
    if (!kelTestIcecast::installed()) return s;
    s.mp3 = s.dir.file("bench.mp3");
    // About 20 MB at 128 kbit/s.
    if (kelTestProcess::runToEnd({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                  "sine=frequency=440:duration=1300", "-c:a", "libmp3lame", "-b:a", "128k",
                                  "-y", s.mp3},
                                 600000) != 0)
        return s;
    s.bytes = kelReadBytes(s.mp3);
    s.ok = !s.bytes.empty() && s.ice.start();
    return s;
}

double processCpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

int g_mount = 0;

void sourceKel(benchmark::State& state)
{
    Setup& s = setup();
    if (!s.ok) {
        state.SkipWithError("icecast2 or ffmpeg missing");
        return;
    }
    for (auto _ : state) {
        const double before = processCpuSeconds();
        kelOwned<kelSHOUTtransmitter> t(kelCreate<kelSHOUTtransmitter>());
        const std::string uri = "http://source:" + std::string(kelTestIcecast::kSourcePassword) +
                                "@127.0.0.1:" + std::to_string(s.ice.port()) + "/kel" +
                                std::to_string(++g_mount);
        t->open(utf8ToUtf16(uri));
        if (!kelTestWaitUntil([&] { return t->streaming() || t->error() != 0; }) || t->error() != 0) {
            state.SkipWithError("login failed");
            return;
        }
        for (size_t at = 0; at < s.bytes.size(); at += 65536) {
            const size_t n = std::min<size_t>(65536, s.bytes.size() - at);
            if (t->send(s.bytes.data() + at, static_cast<intptr_t>(n)) != static_cast<intptr_t>(n)) {
                state.SkipWithError("send failed");
                return;
            }
        }
        t->close();
        state.SetIterationTime(processCpuSeconds() - before);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes.size()));
}

void sourceFfmpeg(benchmark::State& state)
{
    Setup& s = setup();
    if (!s.ok) {
        state.SkipWithError("icecast2 or ffmpeg missing");
        return;
    }
    for (auto _ : state) {
        const double us = kelBenchChildCpuUs(
            {"ffmpeg", "-nostdin", "-loglevel", "error", "-i", s.mp3, "-c", "copy", "-content_type",
             "audio/mpeg", "-f", "mp3",
             "icecast://source:" + std::string(kelTestIcecast::kSourcePassword) +
                 "@127.0.0.1:" + std::to_string(s.ice.port()) + "/ref" + std::to_string(++g_mount)});
        if (us < 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(us / 1e6);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes.size()));
}

} // namespace

BENCHMARK(sourceKel)->Name("source-20MB/kel")->UseManualTime()->Iterations(kelBenchIterations(3));
BENCHMARK(sourceFfmpeg)->Name("source-20MB/reference")->UseManualTime()->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("reference")
