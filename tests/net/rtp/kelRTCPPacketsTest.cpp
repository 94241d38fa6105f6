#include "net/rtp/kelSocks_RTP.h"

#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes written(const kelRTCPWriter& w)
{
    return Bytes(w.data(), w.data() + w.size());
}

TEST(kelRTCPPacketsTest, SenderReportWithOneBlock)
{
    using F = kelGoldenSenderReportFields;
    uint8_t buf[64];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.beginSR(F::ssrc, kelNTP_timestamp{F::ntpSeconds, F::ntpFraction}, F::rtpTimestamp,
                          F::packets, F::octets));
    kelRTCPReportBlock b;
    b.ssrc = F::blockSSRC;
    b.fractionLost = F::fractionLost;
    b.cumulativeLost = 0x12000000 | F::cumulativeLost; // only 24 bits travel
    b.extendedHighestSeq = F::extendedHighestSeq;
    b.jitter = F::jitter;
    b.lastSR = F::lastSR;
    b.delaySinceLastSR = F::delaySinceLastSR;
    ASSERT_TRUE(w.addBlock(b));
    w.closePacket();
    EXPECT_EQ(written(w), kelGoldenSenderReport);
}

TEST(kelRTCPParserTest, SenderReportGoldenBytesReadBackAsTheirFields)
{
    using F = kelGoldenSenderReportFields;
    kelRTCPReader r(kelGoldenSenderReport.data(), kelGoldenSenderReport.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SR);
    EXPECT_EQ(v.size, kelGoldenSenderReport.size());
    EXPECT_EQ(v.ssrc, F::ssrc);
    EXPECT_EQ(v.ntp, (kelNTP_timestamp{F::ntpSeconds, F::ntpFraction}));
    ASSERT_EQ(v.blockCount, 1u);
    const kelRTCPReportBlock b = v.block(0);
    EXPECT_EQ(b.ssrc, F::blockSSRC);
    EXPECT_EQ(b.fractionLost, F::fractionLost);
    EXPECT_EQ(b.cumulativeLost, F::cumulativeLost);
    EXPECT_EQ(b.extendedHighestSeq, F::extendedHighestSeq);
    EXPECT_EQ(b.jitter, F::jitter);
    EXPECT_EQ(b.lastSR, F::lastSR);
    EXPECT_EQ(b.delaySinceLastSR, F::delaySinceLastSR);
    EXPECT_FALSE(r.next(v));
    EXPECT_FALSE(r.malformed());
}

TEST(kelRTCPPacketsTest, ReceiverReportHeaderAndBlockLimit)
{
    uint8_t buf[1024];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.beginRR(0xFEEDFACE));
    EXPECT_EQ(written(w), (Bytes{0x80, 201, 0, 1, 0xFE, 0xED, 0xFA, 0xCE}));
    kelRTCPReportBlock b;
    for (unsigned i = 0; i < 31; ++i)
        ASSERT_TRUE(w.addBlock(b));
    EXPECT_FALSE(w.addBlock(b)) << "a 32nd block does not fit the 5-bit count";
    w.closePacket();
    EXPECT_EQ(w.size(), 8u + 31 * 24);
    EXPECT_EQ(buf[0], 0x80 | 31);
    EXPECT_EQ((buf[2] << 8) | buf[3], int(w.size() / 4 - 1));
    EXPECT_FALSE(w.addBlock(b)) << "no packet is open";
}

TEST(kelRTCPPacketsTest, SdesSizeFollowsTheCnameLength)
{
    // The padding ends at the first word boundary after the end byte: no
    // surplus zero word that a reader would take for a further chunk.
    const size_t sizes[] = {12, 12, 16, 16, 16, 16, 20, 20, 20, 20};
    for (size_t l = 0; l < 10; ++l)
        EXPECT_EQ(rtcpSDESSize(l), sizes[l]) << l;
    EXPECT_EQ(rtcpSDESSize(255), 268u);
    EXPECT_EQ(rtcpSDESSize(300), 268u);
    uint8_t empty[12];
    kelRTCPWriter e(empty, sizeof empty);
    ASSERT_TRUE(e.addSDES(5, ""));
    EXPECT_EQ(written(e), (Bytes{0x81, 202, 0, 2, 0, 0, 0, 5, 1, 0, 0, 0}));

    uint8_t buf[64];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.addSDES(0x01020304, "abc@xyz"));
    EXPECT_EQ(written(w),
              (Bytes{0x81, 202, 0, 4, 1, 2, 3, 4, 1, 7, 'a', 'b', 'c', '@', 'x', 'y', 'z', 0, 0, 0}));
}

TEST(kelRTCPPacketsTest, AppDataIsPaddedToWholeWords)
{
    // Five data bytes are sent as eight, so the length field (4) covers them.
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    uint8_t buf[64];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.addAPP(0x0000ABCD, 3, "NAME", data, 5));
    EXPECT_EQ(written(w),
              (Bytes{0x83, 204, 0, 4, 0, 0, 0xAB, 0xCD, 'N', 'A', 'M', 'E', 1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(rtcpAPPSize(0), 12u);
    EXPECT_EQ(rtcpAPPSize(20), 32u);

    kelRTCPWriter helo(buf, sizeof buf);
    ASSERT_TRUE(helo.addAPP(1, 0, "HELO", nullptr, 0));
    EXPECT_EQ(written(helo), kelGoldenHELO(1));
}

TEST(kelRTCPPacketsTest, RttPayloadTravelsLittleEndian)
{
    kelRTTPayload r;
    r.timeMark = 0x0102030405060708ull;
    r.magic = 0x11223344;
    r.proberSSRC = 0xA1A2A3A4;
    r.probedSSRC = 0xB1B2B3B4;
    uint8_t out[20];
    r.write(out);
    EXPECT_EQ(Bytes(out, out + 20), (Bytes{8,    7,    6,    5,    4,    3,    2,    1,    0x44, 0x33,
                                           0x22, 0x11, 0xA4, 0xA3, 0xA2, 0xA1, 0xB4, 0xB3, 0xB2, 0xB1}));
    const kelRTTPayload back = kelRTTPayload::read(out);
    EXPECT_EQ(back.timeMark, r.timeMark);
    EXPECT_EQ(back.probedSSRC, r.probedSSRC);
}

TEST(kelRTCPPacketsTest, WriterRefusesWhatDoesNotFitAndKeepsEarlierBytes)
{
    uint8_t buf[40];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.beginRR(1));
    ASSERT_TRUE(w.addBlock(kelRTCPReportBlock{}));
    EXPECT_FALSE(w.addBlock(kelRTCPReportBlock{}));
    EXPECT_FALSE(w.addSDES(1, "toolong"));
    EXPECT_EQ(w.size(), 32u);
    EXPECT_EQ(buf[0], 0x81);
    EXPECT_EQ(buf[3], 7);
}

TEST(kelRTCPParserTest, RoundTripOfACompoundReport)
{
    uint8_t buf[256];
    kelRTCPWriter w(buf, sizeof buf);
    ASSERT_TRUE(w.beginSR(42, kelNTP_timestamp{100, 200}, 300, 4, 5));
    kelRTCPReportBlock b;
    b.ssrc = 7;
    b.extendedHighestSeq = 65540;
    ASSERT_TRUE(w.addBlock(b));
    ASSERT_TRUE(w.beginRR(42));
    b.ssrc = 8;
    ASSERT_TRUE(w.addBlock(b));
    ASSERT_TRUE(w.addSDES(42, "me@host"));

    kelRTCPReader r(w.data(), w.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SR);
    EXPECT_EQ(v.ssrc, 42u);
    EXPECT_EQ(v.ntp, (kelNTP_timestamp{100, 200}));
    ASSERT_EQ(v.blockCount, 1u);
    EXPECT_EQ(v.block(0).ssrc, 7u);
    EXPECT_EQ(v.block(0).extendedHighestSeq, 65540u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    ASSERT_EQ(v.blockCount, 1u);
    EXPECT_EQ(v.block(0).ssrc, 8u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);
    ASSERT_NE(v.cname, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.cname), v.cnameLength), "me@host");
    EXPECT_FALSE(r.next(v));
    EXPECT_FALSE(r.malformed());
}

TEST(kelRTCPParserTest, WalkStopsAtTheFirstMalformedPacket)
{
    kelRTCPPacketView v;
    // First packet padded.
    const Bytes padded{0xA0, 201, 0, 1, 0, 0, 0, 1};
    kelRTCPReader r1(padded.data(), padded.size());
    EXPECT_FALSE(r1.next(v));
    EXPECT_TRUE(r1.malformed());
    // A declared length past the datagram: the RR is read, the BYE is not.
    const Bytes longer{0x80, 201, 0, 1, 0, 0, 0, 1, 0x81, 203, 0, 9, 0, 0, 0, 2};
    kelRTCPReader r2(longer.data(), longer.size());
    ASSERT_TRUE(r2.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_FALSE(r2.next(v));
    EXPECT_TRUE(r2.malformed());
    // Trailing bytes shorter than a header; version 3 later in the datagram.
    const Bytes tail{0x80, 201, 0, 1, 0, 0, 0, 1, 0x80, 201};
    kelRTCPReader r3(tail.data(), tail.size());
    ASSERT_TRUE(r3.next(v));
    EXPECT_FALSE(r3.next(v));
    const Bytes v3{0x80, 201, 0, 1, 0, 0, 0, 1, 0xC0, 201, 0, 1, 0, 0, 0, 2};
    kelRTCPReader r4(v3.data(), v3.size());
    ASSERT_TRUE(r4.next(v));
    EXPECT_FALSE(r4.next(v));
    // Later packets may be padded.
    const Bytes laterPad{0x80, 201, 0, 1, 0, 0, 0, 1, 0xA1, 203, 0, 2, 0, 0, 0, 2, 0, 0, 0, 4};
    kelRTCPReader r5(laterPad.data(), laterPad.size());
    ASSERT_TRUE(r5.next(v));
    ASSERT_TRUE(r5.next(v));
    EXPECT_EQ(v.ssrc, 2u);
}

TEST(kelRTCPParserTest, ShortPacketsOfKnownTypesCarryNoSsrc)
{
    kelRTCPPacketView v;
    // An SR of 8 bytes (too short for its sender info) and an APP of 8.
    const Bytes shorts{0x80, 200, 0, 1, 0, 0, 0, 1, 0x80, 204, 0, 1, 0, 0, 0, 3};
    kelRTCPReader r(shorts.data(), shorts.size());
    ASSERT_TRUE(r.next(v));
    EXPECT_FALSE(v.hasSSRC);
    ASSERT_TRUE(r.next(v));
    EXPECT_FALSE(v.hasSSRC);
    EXPECT_FALSE(r.next(v));
    EXPECT_FALSE(r.malformed());
    // Blocks claimed beyond the packet are not exposed.
    const Bytes rr{0x9F, 201, 0,  7,  0,  0,  0,  1,  1,  2,  3,  4,  5,  6,  7,  8,
                   9,    10,  11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    kelRTCPReader r2(rr.data(), rr.size());
    ASSERT_TRUE(r2.next(v));
    EXPECT_EQ(v.count, 31);
    EXPECT_EQ(v.blockCount, 1u);
}

TEST(kelRTCPParserTest, SdesItemsAreBoundedByThePacket)
{
    kelRTCPPacketView v;
    // A NOTE item (type 7) before the CNAME is skipped.
    const Bytes two{0x81, 202, 0, 4, 0, 0, 0, 9, 7, 1, 'n', 1, 3, 'a', 'b', 'c', 0, 0, 0, 0};
    kelRTCPReader r(two.data(), two.size());
    ASSERT_TRUE(r.next(v));
    ASSERT_NE(v.cname, nullptr);
    EXPECT_EQ(v.cnameLength, 3);
    EXPECT_EQ(v.cname[0], 'a');
    // The item length runs past the packet (into the next one): not read.
    const Bytes over{0x81, 202, 0, 2, 0, 0, 0, 9, 1, 200, 'a', 'b', 0x80, 201, 0, 1, 0, 0, 0, 1};
    kelRTCPReader r2(over.data(), over.size());
    ASSERT_TRUE(r2.next(v));
    EXPECT_TRUE(v.hasSSRC);
    EXPECT_EQ(v.cname, nullptr);
    ASSERT_TRUE(r2.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    // Items without an end byte stop at the packet's end.
    const Bytes noEnd{0x81, 202, 0, 2, 0, 0, 0, 9, 2, 2, 'x', 'y'};
    kelRTCPReader r3(noEnd.data(), noEnd.size());
    ASSERT_TRUE(r3.next(v));
    EXPECT_EQ(v.cname, nullptr);
}

TEST(kelRTCPParserTest, AppDataEndsWithItsPacket)
{
    // The APP claims 4 data bytes; an RR follows in the same datagram and is
    // not taken as APP data.
    const Bytes d{0x80, 204, 0, 3, 0, 0, 0, 1, 'N', 'P', 'N', 'G', 1, 2, 3, 4, 0x80, 201, 0, 1, 0, 0, 0, 2};
    kelRTCPReader r(d.data(), d.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_TRUE(v.isApp("NPNG"));
    EXPECT_EQ(v.appDataSize, 4u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.ssrc, 2u);
}

TEST(kelRTCPParserTest, ByeListsEverySourceThePacketHolds)
{
    struct Case
    {
        const char* what;
        Bytes datagram; // an RR from 9, then the BYE
        std::vector<uint32_t> ssrcs;
    };
    const Bytes rr{0x80, 201, 0, 1, 0, 0, 0, 9};
    auto withRR = [&](const Bytes& bye) {
        Bytes d = rr;
        d.insert(d.end(), bye.begin(), bye.end());
        return d;
    };
    const Case cases[] = {
        {"one", withRR({0x81, 203, 0, 1, 0, 0, 0, 1}), {1}},
        {"three and a reason",
         withRR({0x83, 203, 0, 5, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 4, 'g', 'o', 'n', 'e', 0, 0, 0}),
         {1, 2, 3}},
        {"count past the packet", withRR({0x83, 203, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2}), {1, 2}},
        {"padding is no source", withRR({0xA2, 203, 0, 2, 0, 0, 0, 1, 0, 0, 0, 4}), {1}},
        {"count 0", withRR({0x80, 203, 0, 1, 0, 0, 0, 1}), {}},
    };
    for (const Case& c : cases) {
        kelRTCPReader r(c.datagram.data(), c.datagram.size());
        kelRTCPPacketView v;
        ASSERT_TRUE(r.next(v)) << c.what;
        ASSERT_TRUE(r.next(v)) << c.what;
        ASSERT_EQ(v.type, kelrtcp_BYE) << c.what;
        std::vector<uint32_t> got;
        for (unsigned i = 0; i < v.byeCount; ++i)
            got.push_back(v.byeSSRC(i));
        EXPECT_EQ(got, c.ssrcs) << c.what;
        EXPECT_EQ(v.byeSSRC(v.byeCount), 0u) << c.what;
    }
}

} // namespace
