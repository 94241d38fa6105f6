// A TCP stream of the IP pipes' packet protocol, random bytes cut at random
// places: the packets that come out are the same however the stream is cut,
// every one carries a payload whose checksum matches its header, and what
// is held back is the same incomplete piece.

#include "components/kelMT_socks.h"
#include "fuzz/kelFuzzInput.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

struct Packet
{
    uint8_t cmd;
    uint16_t seq;
    std::string payload;
    bool operator==(const Packet& o) const { return cmd == o.cmd && seq == o.seq && payload == o.payload; }
};

kelIpPacketSink into(std::vector<Packet>& out)
{
    return [&out](uint8_t cmd, uint16_t seq, const uint8_t* p, size_t n) {
        out.push_back(Packet{cmd, seq, std::string(reinterpret_cast<const char*>(p), n)});
    };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelFuzzInput in{data, size};
    const size_t cuts = static_cast<size_t>(in.take(1) % 16);
    std::vector<size_t> steps;
    for (size_t i = 0; i < cuts; ++i)
        steps.push_back(static_cast<size_t>(in.take(2)) + 1);
    const uint8_t* stream = data + std::min(in.at, size);
    const size_t len = size - std::min(in.at, size);

    kelIpTcpReassembler whole, pieces;
    std::vector<Packet> a, b;
    whole.feed(stream, len, into(a));
    size_t at = 0, k = 0;
    while (at < len) {
        const size_t n = std::min(len - at, steps.empty() ? len : steps[k++ % steps.size()]);
        pieces.feed(stream + at, n, into(b));
        at += n;
    }
    check(a == b);
    check(whole.held() == pieces.held());
    for (const Packet& p : a)
        check(p.payload.size() <= kelIpMaxPieces * 65535u);
    check(whole.joiner().crcErrors() == pieces.joiner().crcErrors());
    return 0;
}
