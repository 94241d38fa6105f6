#include "net/rtp/kelSocks_RTP.h"

#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(kelRTPHeaderTest, WriteHeaderLaysOutEveryByte)
{
    uint8_t out[12];
    rtpWriteHeader(out, true, 113, 0xABCD, 0x01020304, 0xDEADBEEF);
    EXPECT_EQ(Bytes(out, out + 12), kelGoldenRTPHeader);
    const rtp_hdr back = rtp_hdr::read(kelGoldenRTPHeader.data());
    EXPECT_TRUE(back.marker());
    EXPECT_EQ(back.payloadType(), 113);
    EXPECT_EQ(back.seq(), 0xABCD);
    EXPECT_EQ(back.timestamp(), 0x01020304u);
    EXPECT_EQ(back.ssrc(), 0xDEADBEEFu);
    // Payload types wider than 7 bits never spill into the marker.
    rtpWriteHeader(out, false, 0xFF, 0, 0, 0);
    EXPECT_EQ(out[1], 0x7F);
}

TEST(kelRTPHeaderTest, RecordHoldsNetworkOrderAndCopiesAsWireBytes)
{
    rtp_hdr h;
    h.setMarkerPT(false, 0);
    h.setSeq(0x1234);
    h.setTimestamp(0xA0B0C0D0);
    h.setSsrc(7);
    uint8_t out[12];
    h.write(out);
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0x80, 0x00, 0x12, 0x34, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 0, 7}));
    const rtp_hdr back = rtp_hdr::read(out);
    EXPECT_EQ(back.seq(), 0x1234);
    EXPECT_EQ(back.timestamp(), 0xA0B0C0D0u);
    EXPECT_EQ(back.ssrc(), 7u);
    EXPECT_EQ(back.version(), 2);
}

TEST(kelRTPHeaderTest, ComfortNoisePingIsThirteenBytes)
{
    uint8_t out[13];
    ASSERT_EQ(rtpBuildCNPing(out, 1, 0x11223344), 13u);
    EXPECT_EQ(Bytes(out, out + 13), kelGoldenCNPing(1, 0x11223344));
}

TEST(kelRTPHeaderTest, ParseLocatesPayloadAcrossCsrcAndPadding)
{
    kelRTPPacketInfo info;
    // Bare header: empty payload.
    Bytes bare{0x80, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    ASSERT_TRUE(rtpParsePacket(bare.data(), bare.size(), info));
    EXPECT_EQ(info.payloadSize, 0u);
    EXPECT_EQ(info.payloadOffset, 12u);

    // Two CSRCs, 6 payload bytes of which the last 4 are padding.
    Bytes p{0xA2, 0x60, 0, 2, 0, 0, 0, 9, 0, 0, 0, 5, 1, 1, 1, 1, 2, 2, 2, 2, 'a', 'b', 0, 0, 0, 4};
    ASSERT_TRUE(rtpParsePacket(p.data(), p.size(), info));
    EXPECT_EQ(info.headerSize, 20u);
    EXPECT_EQ(info.paddingSize, 4u);
    EXPECT_EQ(info.payloadSize, 2u);
    EXPECT_EQ(p[info.payloadOffset], 'a');
    EXPECT_EQ(info.header.payloadType(), 0x60);
    EXPECT_EQ(info.header.ssrc(), 5u);
}

TEST(kelRTPHeaderTest, ParseRejectsWhatIsNotDeliverable)
{
    kelRTPPacketInfo info;
    Bytes shortOne{0x80, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_FALSE(rtpParsePacket(shortOne.data(), shortOne.size(), info));
    // Version 3 and version 0 are neither RTP nor RTCP.
    Bytes v3{0xC0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_FALSE(rtpParsePacket(v3.data(), v3.size(), info));
    EXPECT_FALSE(rtpIsVersion2(0xC0));
    EXPECT_FALSE(rtpIsVersion2(0x40));
    EXPECT_TRUE(rtpIsVersion2(0xBF));
    // CSRC count says 15 (72-byte header) but only 16 bytes arrived.
    Bytes csrc{0x8F, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4};
    EXPECT_FALSE(rtpParsePacket(csrc.data(), csrc.size(), info));
    // Padding count reaching into the header.
    Bytes pad{0xA0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 'x', 2};
    EXPECT_TRUE(rtpParsePacket(pad.data(), pad.size(), info));
    EXPECT_EQ(info.payloadSize, 0u);
    pad.back() = 3;
    EXPECT_FALSE(rtpParsePacket(pad.data(), pad.size(), info));
    EXPECT_FALSE(rtpParsePacket(nullptr, 20, info));
}

TEST(kelRTPHeaderTest, ParseSkipsTheHeaderExtension)
{
    const Bytes& golden = kelGoldenRTPWithExtension;
    kelRTPPacketInfo info;
    ASSERT_TRUE(rtpParsePacket(golden.data(), golden.size(), info));
    EXPECT_EQ(info.headerSize, 16u);
    EXPECT_EQ(info.extensionSize, 8u);
    EXPECT_EQ(info.extensionProfile, 0xBEDE);
    EXPECT_EQ(info.payloadOffset, kelGoldenRTPExtensionPayloadAt);
    EXPECT_EQ(Bytes(golden.begin() + static_cast<std::ptrdiff_t>(info.payloadOffset),
                    golden.begin() + static_cast<std::ptrdiff_t>(info.payloadOffset + info.payloadSize)),
              (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(info.header.ssrc(), 0x11223344u);

    // An extension of no words is its 4-byte header alone; with padding
    // after the payload, both come off.
    Bytes empty{0xB0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0x10, 0x00, 0, 0, 'x', 'y', 0, 2};
    ASSERT_TRUE(rtpParsePacket(empty.data(), empty.size(), info));
    EXPECT_EQ(info.extensionSize, 4u);
    EXPECT_EQ(info.extensionProfile, 0x1000);
    EXPECT_EQ(info.payloadOffset, 16u);
    EXPECT_EQ(info.payloadSize, 2u);
    EXPECT_EQ(empty[info.payloadOffset], 'x');
}

TEST(kelRTPHeaderTest, ParseRefusesAnExtensionRunningPastTheEnd)
{
    kelRTPPacketInfo info;
    // Extension words filling the packet to its last byte: empty payload.
    Bytes exact(kelGoldenRTPWithExtension.begin(), kelGoldenRTPWithExtension.end() - 3);
    ASSERT_TRUE(rtpParsePacket(exact.data(), exact.size(), info));
    EXPECT_EQ(info.payloadSize, 0u);
    // One byte more of payload makes room for a second word, and no more.
    Bytes longer = kelGoldenRTPWithExtension;
    longer.push_back('d');
    longer[kelGoldenRTPExtensionLengthAt + 1] = 2;
    ASSERT_TRUE(rtpParsePacket(longer.data(), longer.size(), info));
    EXPECT_EQ(info.payloadSize, 0u);
    longer[kelGoldenRTPExtensionLengthAt + 1] = 3;
    EXPECT_FALSE(rtpParsePacket(longer.data(), longer.size(), info));
    // A length near the 16-bit limit.
    longer[kelGoldenRTPExtensionLengthAt] = 0xFF;
    EXPECT_FALSE(rtpParsePacket(longer.data(), longer.size(), info));
    // X set, but the extension header itself is cut short.
    Bytes cut{0x90, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0};
    EXPECT_FALSE(rtpParsePacket(cut.data(), cut.size(), info));
    // The extension fits, but the padding count then reaches into it.
    Bytes pad{0xB0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0, 0, 'x', 2};
    ASSERT_TRUE(rtpParsePacket(pad.data(), pad.size(), info));
    EXPECT_EQ(info.payloadSize, 0u);
    pad.back() = 3;
    EXPECT_FALSE(rtpParsePacket(pad.data(), pad.size(), info));
}

TEST(kelNTPTimestampTest, FractionTableIsTheTruncatedBinaryExpansion)
{
    EXPECT_EQ(ntpFractionFromMs(0), 0u);
    EXPECT_EQ(ntpFractionFromMs(500), 0x80000000u);
    EXPECT_EQ(ntpFractionFromMs(250), 0x40000000u);
    EXPECT_EQ(ntpFractionFromMs(125), 0x20000000u);
    EXPECT_EQ(ntpFractionFromMs(1), 4294967u);
    EXPECT_EQ(ntpFractionFromMs(999), 4290672328u);
    const uint32_t* table = ntpFractionTable();
    for (uint32_t m = 1; m < 1000; ++m)
        ASSERT_LT(table[m - 1], table[m]) << m;
}

TEST(kelNTPTimestampTest, ConvertsUnixTimeAndMilliseconds)
{
    // 2000-01-01 00:00:00.750 UTC.
    const kelNTP_timestamp ntp = ntpFromUnixMs(946684800750ull);
    EXPECT_EQ(ntp.r_seconds, 3155673600u);
    EXPECT_EQ(ntp.r_fraction, 0xC0000000u);
    EXPECT_EQ(ntpMiddle32(ntp), (3155673600u << 16) | 0xC000u);
    // Every millisecond survives the round trip through the table.
    for (uint64_t ms = 3155673600000ull; ms < 3155673602000ull; ++ms)
        ASSERT_EQ(ntpToMs(ntpFromMs(ms)), ms);
    uint8_t out[8];
    ntpWrite(out, ntp);
    EXPECT_EQ(Bytes(out, out + 8), (Bytes{0xBC, 0x17, 0xC2, 0x00, 0xC0, 0, 0, 0}));
    EXPECT_EQ(ntpRead(out), ntp);
}

} // namespace
