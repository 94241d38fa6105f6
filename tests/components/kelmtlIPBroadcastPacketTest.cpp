// The broadcast datagrams: the golden format packet, data packets at their
// limits, the full rate beside its 16-bit field, and what a parser refuses.

#include "components/kelmtlIPBroadcastPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The first format packet of a server opened on the default format (PCM,
// 44100 Hz, 16 bits, stereo): changed bit and index 3, the rate again in
// bytes 8-11.
const Bytes kGoldenFirstFormat = {0xF4, 0x23, 0x01, 0x00, 0x44, 0xAC, 0x10, 0x02, 0x44, 0xAC,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes dataPacket(size_t len, uint8_t seq = 1, uint8_t index = 3, bool first = true, uint8_t fill = 0x5A)
{
    Bytes payload(len, fill);
    kelBroadcastData d;
    d.firstPiece = first;
    d.index = index;
    d.sequence = seq;
    d.payload = payload.data();
    d.length = payload.size();
    Bytes out(len + kelBroadcastDataOverhead + 1, 0xEE);
    const size_t n = kelBuildBroadcastData(d, out.data());
    out.resize(n);
    return out;
}

} // namespace

TEST(kelmtlIPBroadcastPacketTest, FormatPacketMatchesGoldenBytesAndParsesBack)
{
    kelBroadcastFormat f;
    f.changed = true;
    f.index = 3;
    Bytes out(kelBroadcastFormatSize, 0xEE);
    ASSERT_EQ(kelBuildBroadcastFormat(f, out.data()), kelBroadcastFormatSize);
    EXPECT_EQ(out, kGoldenFirstFormat);
    kelBroadcastPacket p;
    ASSERT_TRUE(kelParseBroadcastPacket(kGoldenFirstFormat.data(), kGoldenFirstFormat.size(), p));
    EXPECT_EQ(p.type, kelbpt_format);
    EXPECT_TRUE(p.format.changed);
    EXPECT_EQ(p.format.index, 3);
    EXPECT_EQ(p.format.tag, 1);
    EXPECT_EQ(p.format.samplesPerSec, 44100u);
    EXPECT_EQ(p.format.bitsPerSample, 16);
    EXPECT_EQ(p.format.numChannels, 2);
}

TEST(kelmtlIPBroadcastPacketTest, RatesAboveSixteenBitsTravelInTheWideField)
{
    // Bytes 8-11 count only when their low half matches bytes 4-5; a sender
    // that leaves them 0 is read from the 16-bit field.
    struct Case
    {
        uint32_t rate;
        bool clearWide;
        uint32_t expected;
    };
    const Case cases[] = {
        {96000, false, 96000}, {88200, false, 88200}, {192000, false, 192000},
        {8000, true, 8000},    {96000, true, 30464},  {65535, false, 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        kelBroadcastFormat f;
        f.samplesPerSec = c.rate;
        Bytes out(kelBroadcastFormatSize);
        kelBuildBroadcastFormat(f, out.data());
        EXPECT_EQ(out[4] | out[5] << 8, int(c.rate & 0xFFFF));
        if (c.clearWide) {
            std::memset(&out[8], 0, 4);
            out[0] = kelBroadcastChecksum(out.data(), out.size());
        }
        kelBroadcastPacket p;
        ASSERT_TRUE(kelParseBroadcastPacket(out.data(), out.size(), p));
        EXPECT_EQ(p.format.samplesPerSec, c.expected);
    }
}

TEST(kelmtlIPBroadcastPacketTest, DataPacketCarriesItsFieldsAndPayloadWithinItsLimits)
{
    const Bytes p100 = dataPacket(100, 9, 2, true);
    ASSERT_EQ(p100.size(), 118u);
    EXPECT_EQ(p100[1], 0x40);
    EXPECT_EQ(p100[2], 100);
    EXPECT_EQ(p100[3], 0x9A); // sequence 9, index 2, first piece, audio
    EXPECT_EQ(Bytes(p100.end() - 14, p100.end()), Bytes(14, 0));
    kelBroadcastPacket p;
    ASSERT_TRUE(kelParseBroadcastPacket(p100.data(), p100.size(), p));
    EXPECT_EQ(p.type, kelbpt_data);
    EXPECT_EQ(p.data.sequence, 9);
    EXPECT_EQ(p.data.index, 2);
    EXPECT_TRUE(p.data.firstPiece);
    EXPECT_EQ(p.data.channelMedia, 0);
    ASSERT_EQ(p.data.length, 100u);
    EXPECT_EQ(p.data.payload, p100.data() + 4);

    const Bytes biggest = dataPacket(kelBroadcastMaxPayload, 15, 0, false);
    ASSERT_EQ(biggest.size(), kelBroadcastMaxDatagram);
    EXPECT_EQ(biggest[1], 0x7F);
    EXPECT_EQ(biggest[2], 0xFF);
    ASSERT_TRUE(kelParseBroadcastPacket(biggest.data(), biggest.size(), p));
    EXPECT_EQ(p.data.length, kelBroadcastMaxPayload);

    EXPECT_TRUE(dataPacket(kelBroadcastMaxPayload + 1).empty());
    EXPECT_TRUE(dataPacket(0).empty());
}

TEST(kelmtlIPBroadcastPacketTest, ParserRefusesWrongSizesChecksumsAndShortDatagrams)
{
    const Bytes good = dataPacket(100);
    Bytes shortBy1(good.begin(), good.end() - 1);
    Bytes longBy1 = good;
    longBy1.push_back(0);
    Bytes badSum = good;
    badSum[0] ^= 1;
    Bytes flipped = good;
    flipped[50] ^= 0x80;
    Bytes emptyData = {0, 0x40, 0x00, 0x10};
    emptyData.resize(18);
    emptyData[0] = kelBroadcastChecksum(emptyData.data(), emptyData.size());
    const Bytes twoBytes = {0x00, 0x00};
    struct Case
    {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {{"117 of 118 bytes", shortBy1}, {"119 of 118", longBy1},   {"checksum", badSum},
                          {"payload bit", flipped},       {"no payload", emptyData}, {"two bytes", twoBytes}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelBroadcastPacket p;
        p.type = kelbpt_type3;
        EXPECT_FALSE(kelParseBroadcastPacket(c.bytes.data(), c.bytes.size(), p));
        EXPECT_EQ(p.type, kelbpt_type3); // untouched
    }
}

TEST(kelmtlIPBroadcastPacketTest, TypesTwoAndThreeAreCheckedBySizeAndChecksum)
{
    Bytes type2(18, 0);
    type2[1] = 0x80;
    type2[0] = kelBroadcastChecksum(type2.data(), type2.size());
    Bytes type3(5 + 18, 0);
    type3[1] = 0xC0;
    type3[2] = 5;
    type3[0] = kelBroadcastChecksum(type3.data(), type3.size());
    kelBroadcastPacket p;
    ASSERT_TRUE(kelParseBroadcastPacket(type2.data(), type2.size(), p));
    EXPECT_EQ(p.type, kelbpt_type2);
    ASSERT_TRUE(kelParseBroadcastPacket(type3.data(), type3.size(), p));
    EXPECT_EQ(p.type, kelbpt_type3);
    type3.push_back(0);
    EXPECT_FALSE(kelParseBroadcastPacket(type3.data(), type3.size(), p));
    EXPECT_EQ(kelBroadcastExpectedSize(type3.data(), 3), 0u); // its length field is not there
}
