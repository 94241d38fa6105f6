// Feeds arbitrary bytes, cut into writes of a size the first byte chooses,
// through the transmitter's MPEG audio frame analysis. Every frame handed
// out must be a whole frame the finder could copy (at most its largest
// frame, a known frame length in samples); what waits between writes must
// stay bounded; and the analysis must return from every write.
#include "streaming/kelIPMpegAnalysis.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t piece = size_t(data[0]) * 16 + 1;
    kelIPMpegAnalysis analysis;
    analysis.reset();
    analysis.start();
    const kelIPMpegFrameOut check = [](const uint8_t* frame, size_t len, intptr_t samples, intptr_t rate) {
        if (frame == nullptr || len < 4 || len > size_t(kelMpegAudio_layer123::kMaxFrameBytes)) std::abort();
        if (samples != 384 && samples != 576 && samples != 1152) std::abort();
        if (rate < 8000 || rate > 48000) std::abort();
    };
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = piece < size - at ? piece : size - at;
        (void)analysis.write(data + at, n, check);
        // The finder's look-ahead and one unfinished frame, besides the write.
        if (analysis.buffered() > n + 2000 + 2 * size_t(kelMpegAudio_layer123::kMaxFrameBytes) + 65536)
            std::abort();
    }
    return 0;
}
