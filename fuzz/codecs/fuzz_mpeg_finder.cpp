// The MPEG audio frame finder over any bytes: once over a stream written in
// pieces whose sizes the first byte seeds (a search after every write), once
// over the same bytes as a file. Every frame lies inside the data, is copied
// out byte for byte, is never longer than the longest frame, never overlaps
// the one before, and the stream's frames are the file's first frames.
#include "codecs/kelMpeg.h"
#include "core/kelUtf.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Frame
{
    intptr_t at;
    intptr_t size;
};

[[noreturn]] void fail()
{
    std::abort();
}

// Calls the finder until it stops; checks and appends every frame found.
void drain(kelMpegAudio_layer123& finder, const uint8_t* data, size_t known, bool panic,
           std::vector<Frame>& frames)
{
    std::vector<uint8_t> buf(static_cast<size_t>(kelMpegAudio_layer123::kMaxFrameBytes));
    for (int guard = 0; guard < 100000; ++guard) {
        kelMpegHeader h;
        intptr_t at = -1;
        intptr_t skip = -1;
        intptr_t size = -1;
        const int32_t result = finder.nextFrame(h, at, skip, buf.data(), size, panic);
        if (skip < 0 || size < 0) fail();
        if (result != kelMpegFrameFound) {
            if (result != kelMpegNoFrame && result != kelMpegFrameIncomplete) fail();
            if (size != 0) fail();
            return;
        }
        if (size < 4 || size > kelMpegAudio_layer123::kMaxFrameBytes) fail();
        if (at < 0 || size_t(at + size) > known) fail();
        if (!frames.empty() && at < frames.back().at + frames.back().size) fail();
        if (std::memcmp(buf.data(), data + at, size_t(size)) != 0) fail();
        if (finder.mpegSamplesPerFrame() <= 0 || finder.mpegSamplingRate() < 8000) fail();
        frames.push_back({at, size});
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2) return 0;
    const uint8_t seed = input[0];
    const uint8_t* data = input + 1;
    const size_t n = size - 1;

    kelBitReader_stream stream;
    kelMpegAudio_layer123 fromStream(&stream);
    std::vector<Frame> streamFrames;
    uint32_t state = seed;
    for (size_t at = 0; at < n;) {
        state = state * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(n - at, 1 + (state >> 16) % (seed & 1 ? 64 : 3000));
        if (stream.write(data + at, intptr_t(piece)) != intptr_t(piece)) fail();
        at += piece;
        drain(fromStream, data, at, seed & 2, streamFrames);
    }

    char name[] = "/tmp/kelFuzzMpegXXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return 0;
    const bool written = ::write(fd, data, n) == ssize_t(n);
    ::close(fd);
    std::vector<Frame> fileFrames;
    if (written) {
        kelBitReader_file file(utf8ToUtf16(name));
        kelMpegAudio_layer123 fromFile(&file);
        drain(fromFile, data, n, false, fileFrames);
    }
    ::unlink(name);
    if (!written) return 0;
    if (streamFrames.size() > fileFrames.size()) fail();
    for (size_t i = 0; i < streamFrames.size(); ++i)
        if (streamFrames[i].at != fileFrames[i].at || streamFrames[i].size != fileFrames[i].size) fail();
    return 0;
}
