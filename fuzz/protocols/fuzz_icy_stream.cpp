// An ICY stream through the metadata splitter: the first two bytes choose
// the metadata interval, the third the piece size the rest is fed in. The
// audio that comes out must be exactly the audio positions of the input,
// and every block must be whole (its length byte times 16).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/protocols/kelICYStream.h"
#include "net/protocols/kelICYWire.h"

namespace {

struct Check : kelICYStreamSink
{
    std::string audio;
    size_t blocks = 0;
    void icyAudio(const uint8_t* d, size_t n) override { audio.append(reinterpret_cast<const char*>(d), n); }
    void icyMetadata(const uint8_t* d, size_t n) override
    {
        if (n == 0 || n % 16 != 0 || n > 255 * 16) std::abort();
        ++blocks;
        (void)kelICYMetadataValue(std::string_view(reinterpret_cast<const char*>(d), n), "streamtitle");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    const uint32_t metaInt = (uint32_t(data[0]) << 8 | data[1]) % 512;
    const size_t piece = 1 + data[2] % 32;
    data += 3;
    size -= 3;
    // The reference: walk the input by the ICY layout.
    std::string expected;
    size_t expectedBlocks = 0;
    for (size_t at = 0; at < size;) {
        if (metaInt == 0) {
            expected.append(reinterpret_cast<const char*>(data + at), size - at);
            break;
        }
        const size_t n = std::min<size_t>(metaInt, size - at);
        expected.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        if (at >= size) break;
        const size_t block = size_t(data[at]) * 16;
        ++at;
        if (block > 0 && at + block <= size) ++expectedBlocks;
        at += block;
    }
    kelICYStreamSplitter s;
    s.reset(metaInt);
    Check c;
    for (size_t at = 0; at < size; at += piece)
        s.feed(data + at, std::min(piece, size - at), c);
    if (c.audio != expected || c.blocks != expectedBlocks) std::abort();
    return 0;
}
