// The receiver's transport stream reader over arbitrary datagrams: the
// first byte seeds the datagram sizes, the PID taken and whether decoding
// is on; the rest is the stream. Whatever comes, what waits between
// datagrams stays within its cap, every byte written is accounted for
// (read as a packet, passed over, dropped by the cap, or waiting), and only
// whole payloads of the chosen PID reach the receiver.
#include "streaming/kelIPStreaming.h"

#include <cstdlib>

namespace {

[[noreturn]] void fail()
{
    std::abort();
}

class Receiver : public TkelIPReceiver
{
public:
    int64_t written = 0;

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe*) override
    {
        if (data == nullptr || len == 0 || len > 184) fail();
        written += len;
        return len;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2) return 0;
    const uint8_t seed = input[0];
    const uint8_t* data = input + 1;
    const size_t n = size - 1;
    kelOwned<Receiver> rx(kelCreate<Receiver>());
    if (!rx) return 0;
    rx->setMpegTS_PID(seed & 0x40 ? 0x100 : 0x101);
    rx->setDoEncode(seed & 0x80);
    kelIPReceiverMpegTS ts(rx.get());
    (void)kelIPReceiverMpegTS::startsTS(data, n);
    uint32_t state = seed;
    for (size_t at = 0; at < n;) {
        state = state * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(n - at, 1 + (state >> 16) % (seed & 1 ? 300 : 1500));
        ts.receive(data + at, piece);
        at += piece;
        const intptr_t kept = ts.reader().bytesLeft() + ts.reader().stream().getAvailableSize();
        if (kept > kelIPReceiverMpegTS::kMaxKept) fail();
    }
    const kelMpegTSDemuxerStat& s = ts.demuxer().stat();
    const int64_t kept = ts.reader().bytesLeft() + ts.reader().stream().getAvailableSize();
    if (s.r_totalPackets * 188 + s.r_bytesOutOfSync + ts.bytesDropped() + kept != int64_t(n)) fail();
    if (rx->written > s.r_totalPayload) fail();
    return 0;
}
