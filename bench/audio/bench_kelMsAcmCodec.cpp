// Decoding a 10-minute 44.1 kHz stereo IMA ADPCM WAV file through the codec
// device (the built-in IMA ADPCM driver, 64 KiB writes, the file read in the
// same pieces) against sox decoding the same file to raw samples, both in
// processor time, in interleaved rounds. The file is made once with sox;
// without sox the program says so and runs nothing.

#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "core/kelCreate.h"
#include "kelBenchChild.h"
#include "kelBenchClock.h"
#include "kelBenchRatios.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kPiece = 64 * 1024;

const std::string& benchFile()
{
    static const std::string name = [] {
        std::string path = "/tmp/kelBenchAcmIma-" + std::to_string(::getpid()) + ".wav";
        const std::string cmd = "sox -D -n -r 44100 -b 16 -c 2 -e ima-adpcm '" + path +
                                "' synth 600 sine 300-3000 sine 500 gain -1 >/dev/null 2>&1";
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

// The "fmt " record and the offset and size of the "data" payload.
bool readLayout(int fd, std::vector<uint8_t>& fmt, off_t& dataAt, size_t& dataSize)
{
    uint8_t head[12];
    if (::pread(fd, head, 12, 0) != 12 || std::memcmp(head, "RIFF", 4) != 0) return false;
    off_t at = 12;
    for (;;) {
        uint8_t chunk[8];
        if (::pread(fd, chunk, 8, at) != 8) return false;
        uint32_t size = 0;
        std::memcpy(&size, chunk + 4, 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            fmt.assign(std::max<size_t>(size, sizeof(WAVEFORMATEX)), 0);
            if (::pread(fd, fmt.data(), size, at + 8) != ssize_t(size)) return false;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            dataAt = at + 8;
            dataSize = size;
            return !fmt.empty();
        }
        at += 8 + size + (size & 1);
    }
}

void decodeKel(benchmark::State& state)
{
    if (benchFile().empty()) {
        state.SkipWithError("sox is not installed");
        return;
    }
    kelMsAcm acm;
    acm.enumDrivers();
    uint64_t produced = 0;
    std::vector<uint8_t> piece(kPiece);
    for (auto _ : state) {
        const uint64_t start = kelBenchProcessCpuNs();
        const int fd = ::open(benchFile().c_str(), O_RDONLY);
        std::vector<uint8_t> fmt;
        off_t dataAt = 0;
        size_t dataSize = 0;
        if (fd < 0 || !readLayout(fd, fmt, dataAt, dataSize)) {
            if (fd >= 0) ::close(fd);
            state.SkipWithError("the file did not read");
            return;
        }
        const auto* format = reinterpret_cast<const WAVEFORMATEX*>(fmt.data());
        kelOwned<kelMsAcmCodec> codec(kelCreate<kelMsAcmCodec>(acm.getDriverByFormatTag(format->wFormatTag),
                                                               true, 0, false, kelcdm_acm));
        codec->assignStream(false, nullptr, false);
        codec->setOnDataAvailable([&](kelMsAcmStreamDevice*, void*, uintptr_t size) { produced += size; });
        if (!codec->setFormatSuggest(false, format, fmt.size()) || codec->open(false, 3000, 0, false) != 0) {
            ::close(fd);
            state.SkipWithError("the codec did not open");
            return;
        }
        for (size_t done = 0; done < dataSize;) {
            const ssize_t got =
                ::pread(fd, piece.data(), std::min(kPiece, dataSize - done), dataAt + off_t(done));
            if (got <= 0) break;
            codec->write(piece.data(), uintptr_t(got));
            done += size_t(got);
        }
        codec->flush(true);
        codec->close(3000);
        ::close(fd);
        state.SetIterationTime(double(kelBenchProcessCpuNs() - start) / 1e9);
    }
    benchmark::DoNotOptimize(produced);
}

void decodeSox(benchmark::State& state)
{
    if (benchFile().empty()) {
        state.SkipWithError("sox is not installed");
        return;
    }
    for (auto _ : state) {
        const double us =
            kelBenchChildCpuUs({"sox", benchFile(), "-t", "raw", "-e", "signed", "-b", "16", "/dev/null"});
        if (us < 0) {
            state.SkipWithError("sox failed");
            return;
        }
        state.SetIterationTime(us / 1e6);
    }
}

} // namespace

BENCHMARK(decodeKel)
    ->Name("ima-decode-10min-44k-stereo/kel")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));
BENCHMARK(decodeSox)
    ->Name("ima-decode-10min-44k-stereo/sox")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kelBenchIterations(3));

KEL_BENCH_MAIN_WITH_RATIOS("sox")
