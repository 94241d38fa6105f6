// The reorder window fed arbitrary sequence numbers and arrival times:
// every packet is accounted for (delivered, dropped or waiting), what comes
// out carries the bytes it went in with, no more than three wait once the
// window is drained, and between restarts sequence numbers come out in
// order.
#include "net/rtp/kelRTPReorderWindow.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelRTPReorderWindow w;
    uint64_t now = 0;
    uint64_t pushed = 0;
    uint64_t delivered = 0;
    uint16_t seq = 0;
    bool haveLast = false;
    uint16_t last = 0;
    const auto out = [&](uint16_t s) {
        if (haveLast) {
            const int32_t step = static_cast<int16_t>(static_cast<uint16_t>(s - last));
            // A restart may jump anywhere; otherwise the numbers go up.
            const bool forward = step > 0 && step < int32_t(kelRTPReorderMaxAhead);
            const bool restart =
                step >= int32_t(kelRTPReorderMaxAhead) || step < -int32_t(kelRTPReorderMaxBehind);
            if (!forward && !restart) std::abort();
        }
        haveLast = true;
        last = s;
        ++delivered;
    };
    for (size_t i = 0; i + 3 <= size; i += 3) {
        // A small step from the last number, or (high bit) any number.
        if (data[i] & 0x80)
            seq = static_cast<uint16_t>((data[i] << 8) | data[i + 1]);
        else
            seq = static_cast<uint16_t>(seq + static_cast<int8_t>(data[i + 1]));
        now += data[i + 2] & 0x3F;
        const uint64_t wait = (data[i] & 0x40) ? 1000 : 60;
        const uint8_t bytes[2] = {static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
        ++pushed;
        if (w.push(seq, bytes, sizeof bytes, now, wait) == kelRTPReorderWindow::verdict::deliver) out(seq);
        kelRTPReorderPacket p;
        while (w.popReady(now, p)) {
            if (p.bytes.size() != 2 || p.bytes[0] != (p.seq >> 8) || p.bytes[1] != (p.seq & 0xFF))
                std::abort();
            out(p.seq);
        }
        if (w.heldCount() > 4) std::abort();
        if (pushed != delivered + w.duplicates() + w.late() + w.heldCount()) std::abort();
    }
    return 0;
}
