// Broadcast datagrams of every size and content, one input, as a client
// receives them: the whole input parsed as one datagram (accepted exactly
// when its size matches its fields and its checksum is right, the payload
// within it, and rebuilt byte for byte from what was read), then cut into a
// run of datagrams from two senders at advancing times, judged in turn: a
// delivered payload lies inside its datagram and counters only grow.

#include "components/kelMT_socks.h"
#include "fuzz/kelFuzzInput.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

void checkOne(const uint8_t* data, size_t size)
{
    kelBroadcastPacket p;
    const bool ok = kelParseBroadcastPacket(data, size, p);
    const bool shaped = size > 2 && kelBroadcastExpectedSize(data, size) == size;
    check(ok == (shaped && kelBroadcastChecksum(data, size) == data[0] &&
                 !((data[1] >> 6) == kelbpt_data && size == kelBroadcastDataOverhead)));
    if (!ok) return;
    std::vector<uint8_t> rebuilt(size);
    if (p.type == kelbpt_data) {
        check(p.data.payload == data + kelBroadcastDataHeader);
        check(p.data.length + kelBroadcastDataOverhead == size && p.data.length <= kelBroadcastMaxPayload);
        // The builder writes zeros where the parser reads nothing.
        if (std::all_of(data + kelBroadcastDataHeader + p.data.length, data + size,
                        [](uint8_t b) { return b == 0; })) {
            check(kelBuildBroadcastData(p.data, rebuilt.data()) == size);
            check(std::memcmp(rebuilt.data(), data, size) == 0);
        }
    } else if (p.type == kelbpt_format) {
        check(size == kelBroadcastFormatSize);
        check(p.format.index < 4 && (p.format.samplesPerSec & 0xFFFF) == (data[4] | data[5] << 8));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkOne(data, size);

    kelmtlBroadcastReception reception;
    kelFuzzInput in{data, size};
    uint64_t now = 1000000;
    uint64_t received = 0;
    while (in.at < size) {
        const size_t len = static_cast<size_t>(in.take(2) % 1500);
        const bool second = in.take(1) & 1;
        now += in.take(2);
        const size_t start = in.at;
        const size_t have = std::min(len, size - start);
        in.at += have;
        checkOne(data + start, have);
        const auto r = reception.handle(data + start, have, {0x7F000001u, uint16_t(second ? 2 : 1)}, now);
        if (r.verdict == kelbv_data) {
            check(r.packet.data.payload >= data + start && r.packet.data.length > 0);
            check(r.packet.data.payload + r.packet.data.length <= data + start + have);
        }
        if (r.verdict == kelbv_format) check(reception.formatIndex() == r.packet.format.index);
        check(reception.received() >= received);
        received = reception.received();
    }
    return 0;
}
