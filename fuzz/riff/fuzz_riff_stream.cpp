// The WAV reader on random and mutated files, read passively as panomix
// reads its file sources: no read past a buffer (ASan), chunks never larger
// than chunkSize, and a reader without `loop` that ends within the chunks
// its data can fill (no endless loop, also over data chunks that hold
// nothing). The first input byte picks looping and a position to seek to.
// Compressed data is decoded through the compression manager's built-in
// drivers: its chunks are the PCM destination's, and the decoded stream
// ends too. MPEG audio files give whole frames, each once per pass.

#include "audio/kelMsAcm.h"
#include "audio/kelRIFF.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

// One registry for the process, its drivers listed once.
kelMsAcm* registry()
{
    static kelMsAcm* acm = [] {
        auto* made = new kelMsAcm;
        (void)made->enumDrivers();
        return made;
    }();
    return acm;
}

// No driver makes more than this many PCM bytes of one coded byte (GSM
// about 10, the smallest MPEG frames about 200).
constexpr uintptr_t kMaxExpansion = 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    const int fd = ::memfd_create("kelRiffFuzz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size > 0 && ::write(fd, data, size) != ssize_t(size)) {
        ::close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const bool loop = (control & 1) != 0;
    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(path), false, loop, registry()));
    if (stream && stream->fileType() == kelRiffFileMpeg && stream->passiveOpen() == 0) {
        // MPEG audio: whole frames, each read once per pass, the pass within
        // the file's bytes.
        std::vector<uint8_t> buf(8000);
        uintptr_t bytes = 0;
        uintptr_t reads = 0;
        for (; reads < (loop ? 3 : 1) * (size / 4 + 2); ++reads) {
            const uintptr_t n = stream->readData(buf.data(), buf.size());
            if (n == 0) break;
            check(n >= 4 && n <= 2881);
            bytes += n;
        }
        if (!loop) check(bytes <= size && stream->readingIsDone() && stream->streamSize() == bytes);
    } else if (stream && stream->passiveOpen() == 0) {
        const bool decoded = stream->codec() != nullptr;
        const uintptr_t chunk = decoded ? stream->dstChunkSize() : stream->chunkSize();
        check(chunk > 0 && stream->chunkSize() > 0);
        check(stream->streamSize() <= size);
        if ((control & 2) != 0) stream->setStreamPosition(uintptr_t(control >> 2) * stream->chunkSize());
        check(stream->streamPosition() <= stream->streamSize());
        std::vector<uint8_t> buf(chunk + 8);
        // Without looping every chunk but the last is whole data, so the
        // reads are bounded by the data; with it, a few passes suffice.
        const uintptr_t bound = stream->streamSize() * (decoded ? kMaxExpansion : 1) / chunk + 2;
        uintptr_t reads = 0;
        const uintptr_t loopReads = 3 * (stream->streamSize() / stream->chunkSize() + 2);
        for (; reads < (loop ? loopReads : bound + 1); ++reads) {
            const uintptr_t n = stream->readData(buf.data(), buf.size());
            check(n == 0 || n == chunk);
            if (n == 0) break;
        }
        if (!loop) check(reads <= bound && stream->readingIsDone());
    }
    stream.reset();
    ::close(fd);
    return 0;
}
