// The transport stream demultiplexer over any bytes, written in pieces
// whose sizes the first byte seeds, with a small table budget. Every payload
// handed out lies inside one packet, the counters add up (no packet or lost
// byte counted twice, nothing read that was not written), the tables stay
// inside their budget, and what is left unread at the end is less than a
// packet and its confirming sync byte.
#include "codecs/kelMpeg.h"

#include <cstdlib>

namespace {

[[noreturn]] void fail()
{
    std::abort();
}

class Checked : public kelMpegTSDemuxer
{
public:
    using kelMpegTSDemuxer::kelMpegTSDemuxer;
    int64_t delivered = 0;

protected:
    void onPayload(uint32_t pid, const uint8_t* data, intptr_t len, void*) override
    {
        if (pid >= 0x1FFF || data == nullptr || len <= 0 || len > 184) fail();
        delivered += len;
    }
    void onEvent(uint32_t, kelMpegTSEvent& event) override
    {
        if (event.desc().count() > 256) fail();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2) return 0;
    const uint8_t seed = input[0];
    const uint8_t* data = input + 1;
    const size_t n = size - 1;
    constexpr int64_t kBudget = 64 * 1024;

    kelBitReader_stream reader;
    Checked demuxer(&reader);
    demuxer.setTableBudget(kBudget);
    demuxer.setTolerateContinuity(seed & 0x80);
    uint32_t state = seed;
    for (size_t at = 0; at < n;) {
        state = state * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(n - at, 1 + (state >> 16) % (seed & 1 ? 200 : 1400));
        if (reader.write(data + at, intptr_t(piece)) != intptr_t(piece)) fail();
        at += piece;
        demuxer.demux(seed & 2, true, nullptr);
    }
    // Calls that end early on lost sync leave the rest for the next call.
    for (int guard = 0; guard < 100000; ++guard) {
        const intptr_t before = reader.bytesLeft() + reader.stream().getAvailableSize();
        demuxer.demux(true, true, nullptr);
        if (reader.bytesLeft() + reader.stream().getAvailableSize() == before) break;
    }

    const kelMpegTSDemuxerStat& s = demuxer.stat();
    const int64_t left = reader.bytesLeft() + reader.stream().getAvailableSize();
    if (s.r_totalPackets * 188 + s.r_bytesOutOfSync + left != int64_t(n)) fail();
    if (left > 188) fail();
    if (s.r_totalPacketsSkipped > s.r_totalPackets || s.r_errorPackets > s.r_totalPacketsSkipped) fail();
    if (s.r_totalPayload != demuxer.delivered || s.r_totalPayload > s.r_totalPackets * 184) fail();
    if (s.r_syncLosses > s.r_bytesOutOfSync) fail();
    if (s.r_continuityBreaks + s.r_duplicatePackets + s.r_damagedPackets > s.r_totalPackets) fail();
    if (demuxer.tableBytes() > kBudget) fail();
    if (demuxer.estreams().count() > 8191) fail();
    return 0;
}
