// MPEG audio bytes fed to the mpg123 decoder in pieces, every decoded byte
// read out into a room of varying size. The first byte chooses the piece
// and room sizes and a forced encoding. Reads never report more than the
// room, reported formats are ones the decoder can deliver, and the loop
// ends: a decoder that neither produces nor asks for input is a fault.
#include "codecs/kelMpgLibAPI.h"

#include <cstdlib>
#include <vector>

namespace {

// Keeps the library loaded between inputs.
const bool g_loaded = [] {
    static kelMpg123Proc keep;
    return keep.load() == 0;
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!g_loaded || size < 1) return 0;
    const size_t piece = 1 + (data[0] & 0x0F) * 97;
    const size_t room = 1 + ((data[0] >> 4) & 0x07) * 1200;
    const int encodings[] = {0, kelMpg123Signed16, kelMpg123Signed24, kelMpg123Signed32};
    kelLibmpg123Decoder dec;
    dec.forceFormat(0, 3, encodings[(data[0] >> 6) & 3]);
    if (dec.open() != 0) return 0;
    dec.setOnFormatChange([](kelLibmpg123Decoder*, long rate, int channels, int bits, int) {
        if (rate <= 0 || (channels != 1 && channels != 2) || bits < 8 || bits > 64) std::abort();
    });
    std::vector<unsigned char> out(room);
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        if (dec.feed(data + at, n) != 0) return 0;
        int idle = 0;
        for (int reads = 0;; ++reads) {
            if (reads > 100000 || idle > 1000) std::abort();
            size_t got = out.size();
            const int r = dec.read(out.data(), got);
            if (got > out.size()) std::abort();
            if (r != kelMpg123Ok && r != kelMpg123NewFormat) break;
            idle = got > 0 ? 0 : idle + 1;
        }
    }
    return 0;
}
