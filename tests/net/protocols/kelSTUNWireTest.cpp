// STUN wire format: the Binding request, RFC 5769's sample response and the
// codes every other answer reads as.
#include "net/protocols/kelSocks_STUN.h"
#include "tests/support/kelTestScriptedServer.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// RFC 5769 section 2.2: a success response with SOFTWARE,
// XOR-MAPPED-ADDRESS (192.0.2.1:32853), MESSAGE-INTEGRITY and FINGERPRINT.
const Bytes kSampleResponse = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43,
    0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9,
    0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};

Bytes attr(uint16_t type, const Bytes& value)
{
    Bytes a{uint8_t(type >> 8), uint8_t(type), uint8_t(value.size() >> 8), uint8_t(value.size())};
    a.insert(a.end(), value.begin(), value.end());
    while (a.size() % 4 != 0)
        a.push_back(0);
    return a;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(kelSTUNWireTest, TheSampleResponseReadsItsMappedAddressAndCutsNeverReadPastTheBytes)
{
    const kelSTUNResult r = stunReadAnswer(kSampleResponse.data(), kSampleResponse.size());
    EXPECT_EQ(r.code, 200);
    EXPECT_EQ(r.ip, 0xC0000201u);
    EXPECT_EQ(r.port, 32853);
    // Every shorter datagram (its length field still says 60): the address
    // counts only when its attribute came whole.
    for (size_t len = 0; len < kSampleResponse.size(); ++len) {
        const Bytes cut(kSampleResponse.begin(), kSampleResponse.begin() + static_cast<ptrdiff_t>(len));
        const kelSTUNResult c = stunReadAnswer(cut.data(), cut.size());
        EXPECT_EQ(c.code, len >= 48 ? 200 : 400) << len;
    }
}

TEST(kelSTUNWireTest, ABindingRequestIsTheHeaderAndPaddedAttributes)
{
    const uint8_t txn[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const uint8_t attrs[5] = {0x80, 0x22, 0x00, 0x01, 'x'};
    Bytes out;
    EXPECT_EQ(stunBuildRequest(txn, attrs, sizeof attrs, out), 28u);
    const Bytes golden = {0x00, 0x01, 0x00, 0x08, 0x21, 0x12, 0xA4, 0x42, 1, 2, 3,   4, 5, 6,
                          7,    8,    9,    10,   11,   12,   0x80, 0x22, 0, 1, 'x', 0, 0, 0};
    EXPECT_EQ(out, golden);
    EXPECT_EQ(stunFrameSize(out.data(), out.size()), 28);
    EXPECT_EQ(stunFrameSize(out.data(), 19), 0);
    Bytes rtp = out;
    rtp[0] = 0x80; // an RTP packet is no STUN message
    EXPECT_EQ(stunFrameSize(rtp.data(), rtp.size()), -1);
    EXPECT_TRUE(stunSameTransaction(out.data(), out.data(), out.size()));
    Bytes other = out;
    other[19] ^= 1;
    EXPECT_FALSE(stunSameTransaction(out.data(), other.data(), other.size()));
}

TEST(kelSTUNWireTest, OnlyASuccessWithAnIPv4AddressReads200)
{
    const Bytes mapped = attr(0x0001, {0, 1, 0x12, 0x34, 127, 0, 0, 1});
    // 10.0.0.1:0x5678 under the cookie.
    const Bytes xorMapped = attr(0x0020, {0, 1, 0x77, 0x6A, 0x2B, 0x12, 0xA4, 0x43});
    const Bytes ipv6 = attr(0x0020, Bytes{0, 2, 0, 1} + Bytes(16, 0));
    struct Case
    {
        const char* what;
        uint16_t type;
        Bytes attrs;
        int code;
        uint32_t ip;
        uint16_t port;
    };
    const Case cases[] = {
        {"MAPPED-ADDRESS", 0x0101, mapped, 200, 0x7F000001, 0x1234},
        {"XOR-MAPPED-ADDRESS", 0x0101, xorMapped, 200, 0x0A000001, 0x5678},
        {"both: the later wins", 0x0101, xorMapped + mapped, 200, 0x7F000001, 0x1234},
        {"both the other way", 0x0101, mapped + xorMapped, 200, 0x0A000001, 0x5678},
        {"success without an address", 0x0101, {}, 400, 0, 0},
        {"success with an IPv6 address only", 0x0101, ipv6, 400, 0, 0},
        {"error 420", 0x0111, attr(0x0009, {0, 0, 4, 20}), 420, 0, 0},
        {"error without ERROR-CODE", 0x0111, mapped, 400, 0, 0},
        {"error claiming class 2", 0x0111, attr(0x0009, {0, 0, 2, 0}), 400, 0, 0},
        {"a request echoed back", 0x0001, mapped, 400, 0, 0},
        {"an indication", 0x0011, mapped, 400, 0, 0},
    };
    const Bytes request = {0, 1, 0, 0, 0x21, 0x12, 0xA4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (const Case& c : cases) {
        Bytes msg = kelTestStunAnswer(request, c.type, c.attrs);
        const kelSTUNResult r = stunReadAnswer(msg.data(), msg.size());
        EXPECT_EQ(r.code, c.code) << c.what;
        EXPECT_EQ(r.ip, c.ip) << c.what;
        EXPECT_EQ(r.port, c.port) << c.what;
    }
    // An attribute whose length runs past the message is not read.
    Bytes lying = kelTestStunAnswer(request, 0x0101, mapped);
    lying[23] = 0x7F;
    EXPECT_EQ(stunReadAnswer(lying.data(), lying.size()).code, 400);
}

} // namespace
