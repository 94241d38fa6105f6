// Bytes from an RTSP server, judged as answers by the client's rules: the
// first input byte picks the CSeq waited for, the second the piece size.
// The parser stays within its bounds, an answer judged complete is whole,
// and dropping answers to other requests always makes progress.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPWire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const intptr_t cseq = data[0] % 8;
    const size_t piece = 1 + data[1] % 64;
    data += 2;
    size -= 2;
    kelHTTPparser p;
    p.setLimits(2048, 4096);
    for (size_t at = 0; at < size; at += piece) {
        p.feed(data + at, static_cast<intptr_t>(std::min(piece, size - at)));
        if (p.dataSize() > 2048 + 4096) std::abort();
        for (;;) {
            const kelRTSPAnswerState s = kelRTSPCheckAnswer(p, cseq);
            if (s == kelRTSPAnswerState::Complete) {
                if (p.headerSize() + static_cast<uintptr_t>(p.getPayloadSize()) > p.dataSize()) std::abort();
                (void)p.getPayload();
                p.cleanup();
                break;
            }
            if (s != kelRTSPAnswerState::OtherCSeq) break;
            const uintptr_t before = p.dataSize();
            if (!p.dropIfComplete(0) || p.dataSize() >= before) std::abort();
        }
        if (p.overflow()) p.cleanup();
    }
    return 0;
}
