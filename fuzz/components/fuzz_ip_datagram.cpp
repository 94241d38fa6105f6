// UDP datagrams of every size from a party of an IP server pipe, taken
// apart by the connection's packet stack as the socket thread would hand
// them: any size from 0 up, any header, formats of any length (checked
// before they are taken). Invariants: no read past a datagram (ASan), a
// taken format is at most 4096 bytes, and the loss count only grows.

#include "components/kelMT_socks.h"
#include "fuzz/kelFuzzInput.h"

#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

struct Party
{
    kelmtlIPServer* server = kelCreate<kelmtlIPServer>();
    kelmtlIpPacketsStack* stack = nullptr;
    Party()
    {
        server->setProto(kelpt_UDP);
        stack = kelCreate<kelmtlIpPacketsStack>(server, 4001u);
    }
};

Party& party()
{
    static Party p;
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Party& p = party();
    p.stack->reset();
    kelFuzzInput in{data, size};
    uint64_t lost = p.server->packetsLostCount();
    while (in.at < size) {
        const size_t want = static_cast<size_t>(in.take(2) % 4097);
        const size_t n = std::min(want, size - std::min(in.at, size));
        // A copy of exactly the datagram's size, so a read past it is seen.
        std::vector<uint8_t> datagram(data + in.at, data + in.at + n);
        in.at += n;
        p.stack->receive(datagram.data(), datagram.size());
        check(p.server->packetsLostCount() >= lost);
        lost = p.server->packetsLostCount();
        check(p.server->remoteFormat().size() <= kelIpMaxFormatSize);
    }
    return 0;
}
