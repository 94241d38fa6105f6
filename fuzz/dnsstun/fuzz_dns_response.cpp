// Any datagram arriving for a pending SRV query: judging and parsing end,
// read inside the bytes, and keep only what the header announced.
#include "net/protocols/kelSocks_DNS.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelDNSSections s;
    if (dnsParseMessage(data, size, s)) {
        kelDNS_HDR h;
        if (!dnsReadHeader(data, size, h)) std::abort();
        const size_t counts[4] = {h.r_QDCOUNT, h.r_ANCOUNT, h.r_NSCOUNT, h.r_ARCOUNT};
        for (int k = 0; k < 4; ++k) {
            if (s.s[k].size() > counts[k]) std::abort();
            if (!h.truncated() && s.s[k].size() != counts[k]) std::abort();
            for (const auto& rr : s.s[k]) {
                if (rr->isQuestion() != (k == 0)) std::abort();
                if (k == 0) continue;
                const uint8_t* rd = rr->rdata();
                if (rd < data || rd + rr->rdlen() > data + size) std::abort();
            }
        }
    }
    // The same bytes as an answer to a query whose id they carry.
    const uint16_t id = size >= 2 ? static_cast<uint16_t>((data[0] << 8) | data[1]) : 0;
    kelDNSQuery q(id, {"127.0.0.1:9"}, {"_stun._udp.example.test"}, kelDNSType_SRV, 0, 1, true,
                  kelDnsTR_UDP_then_TCP);
    const kelDNSVerdict v = q.takeMessage(data, size, false);
    if (v == kelDNSAnswered) {
        if (q.respSize() != size || !dnsAnswersRequest(q.req(), q.reqSize(), data, size)) std::abort();
        for (intptr_t i = 0; i < q.count(1); ++i)
            if (auto* srv = q.getRR(i, 1)->data<kelDNSRR_SRV>(); srv != nullptr && srv->port() > 65535)
                std::abort();
    } else if (q.resp() != nullptr) {
        std::abort();
    }
    return 0;
}
