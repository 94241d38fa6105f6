#include "tests/support/kelTestRTPPackets.h"

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

} // namespace

std::vector<uint8_t> kelTestRTPPacket(uint8_t pt, uint16_t seq, const std::vector<uint8_t>& payload,
                                      uint32_t timestamp, uint32_t ssrc, bool marker)
{
    std::vector<uint8_t> p = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | (pt & 0x7F)),
                              static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    put32(p, timestamp);
    put32(p, ssrc);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

std::vector<uint8_t> kelTestRedPayload(const std::vector<kelTestRedBlock>& older, uint8_t primaryPT,
                                       const std::string& primary)
{
    std::vector<uint8_t> p;
    for (const kelTestRedBlock& b : older) {
        const uint32_t fields = static_cast<uint32_t>(b.tsOffset & 0x3FFF) << 10 | (b.text.size() & 0x3FF);
        p.push_back(static_cast<uint8_t>(0x80 | (b.pt & 0x7F)));
        p.push_back(static_cast<uint8_t>(fields >> 16));
        p.push_back(static_cast<uint8_t>(fields >> 8));
        p.push_back(static_cast<uint8_t>(fields));
    }
    p.push_back(primaryPT & 0x7F);
    for (const kelTestRedBlock& b : older)
        p.insert(p.end(), b.text.begin(), b.text.end());
    p.insert(p.end(), primary.begin(), primary.end());
    return p;
}

std::vector<uint8_t> kelGoldenCNPing(uint16_t seq, uint32_t ssrc)
{
    std::vector<uint8_t> p = {0x80, 13, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 0, 0,
                              0,    1};
    put32(p, ssrc);
    p.push_back(0);
    return p;
}

std::vector<uint8_t> kelGoldenHELO(uint32_t ssrc)
{
    std::vector<uint8_t> p = {0x80, 204, 0, 2};
    put32(p, ssrc);
    p.insert(p.end(), {'H', 'E', 'L', 'O'});
    return p;
}

std::vector<uint8_t> kelGoldenBYE(uint32_t ssrc)
{
    std::vector<uint8_t> p = {0x81, 203, 0, 1};
    put32(p, ssrc);
    return p;
}

std::vector<kelTestRTCPPart> kelTestSplitCompound(const std::vector<uint8_t>& d)
{
    std::vector<kelTestRTCPPart> parts;
    size_t at = 0;
    while (at + 4 <= d.size()) {
        const size_t len = (static_cast<size_t>(d[at + 2]) << 8 | d[at + 3]) * 4 + 4;
        if ((d[at] & 0xC0) != 0x80 || at + len > d.size()) return {};
        parts.push_back({d[at + 1], std::vector<uint8_t>(d.begin() + at, d.begin() + at + len)});
        at += len;
    }
    return at == d.size() ? parts : std::vector<kelTestRTCPPart>{};
}
