// The media-port classifier on golden datagrams and on the bytes at the
// edges of each first-byte range.
#include "net/rtp/kelDatagramDemux.h"

#include "tests/support/kelTestDatagrams.h"

#include <gtest/gtest.h>

namespace {

kelDatagramKind classify(const kelTestBytes& b)
{
    return kelClassifyDatagram(b.data(), b.size());
}

// `b` with its first byte set to `first`.
kelTestBytes withFirst(kelTestBytes b, uint8_t first)
{
    b[0] = first;
    return b;
}

TEST(kelDatagramDemuxTest, GoldenDatagramsAreToldApart)
{
    EXPECT_EQ(classify(kelTestSTUNBindingRequest), keldg_stun);
    EXPECT_EQ(classify(kelTestSTUNConnectivityCheck), keldg_stun);
    EXPECT_EQ(classify(kelTestRTCPReceiverReport), keldg_rtcp);
    EXPECT_EQ(classify(kelTestRTCPSenderReport), keldg_rtcp);
    EXPECT_EQ(classify(kelTestDTLSClientHello), keldg_dtls);
    EXPECT_EQ(classify(kelTestRTPTextPacket(1, "hi")), keldg_rtp);
    // Marker set on payload type 113 makes a second byte of 241, above the
    // RTCP types.
    EXPECT_EQ(classify(kelTestRTPTextPacket(1, "hi", 1, true)), keldg_rtp);
}

TEST(kelDatagramDemuxTest, FirstByteRangeEdges)
{
    const kelTestBytes stun = kelTestSTUNBindingRequest;
    EXPECT_EQ(classify(withFirst(stun, 0x03)), keldg_stun);
    // 4 lies between STUN and DTLS, however STUN-like the rest is.
    EXPECT_EQ(classify(withFirst(stun, 0x04)), keldg_other);
    EXPECT_EQ(classify(withFirst(stun, 19)), keldg_other);
    EXPECT_EQ(classify(withFirst(stun, 20)), keldg_dtls);
    EXPECT_EQ(classify(withFirst(stun, 63)), keldg_dtls);
    EXPECT_EQ(classify(withFirst(stun, 64)), keldg_other);

    const kelTestBytes rtp = kelTestRTPTextPacket(7, "text");
    EXPECT_EQ(classify(withFirst(rtp, 127)), keldg_other);
    EXPECT_EQ(classify(withFirst(rtp, 128)), keldg_rtp);
    EXPECT_EQ(classify(withFirst(rtp, 191)), keldg_rtp);
    EXPECT_EQ(classify(withFirst(rtp, 192)), keldg_other);
    EXPECT_EQ(classify(withFirst(rtp, 255)), keldg_other);
}

TEST(kelDatagramDemuxTest, SecondByteSeparatesRtcpFromRtp)
{
    kelTestBytes b = kelTestRTPTextPacket(7, "text");
    const std::pair<uint8_t, kelDatagramKind> cases[] = {
        {191, keldg_rtp},  {192, keldg_rtcp}, {200, keldg_rtcp}, {201, keldg_rtcp},
        {206, keldg_rtcp}, {223, keldg_rtcp}, {224, keldg_rtp},  {0x71, keldg_rtp},
    };
    for (const auto& [second, kind] : cases) {
        b[1] = second;
        EXPECT_EQ(classify(b), kind) << "second byte " << int(second);
    }
}

TEST(kelDatagramDemuxTest, StunNeedsItsWholeHeader)
{
    kelTestBytes cookie = kelTestSTUNBindingRequest;
    cookie[7] ^= 0x01;
    EXPECT_EQ(classify(cookie), keldg_other);

    // A length that leaves bytes over, or claims more than came, or is not
    // a whole number of 4-byte words.
    kelTestBytes longer = kelTestSTUNBindingRequest;
    longer.push_back(0);
    longer.insert(longer.end(), 3, 0);
    EXPECT_EQ(classify(longer), keldg_other);
    longer[3] = 4;
    EXPECT_EQ(classify(longer), keldg_stun);
    longer[3] = 8;
    EXPECT_EQ(classify(longer), keldg_other);
    kelTestBytes odd = kelTestSTUNBindingRequest;
    odd.push_back(0);
    odd[3] = 1;
    EXPECT_EQ(classify(odd), keldg_other);

    const kelTestBytes cut(kelTestSTUNBindingRequest.begin(), kelTestSTUNBindingRequest.end() - 1);
    EXPECT_EQ(classify(cut), keldg_other);
    EXPECT_FALSE(kelIsSTUNMessage(cut.data(), cut.size()));
    EXPECT_TRUE(kelIsSTUNMessage(kelTestSTUNConnectivityCheck.data(), kelTestSTUNConnectivityCheck.size()));
}

TEST(kelDatagramDemuxTest, TooShortForItsKindIsOther)
{
    const kelTestBytes rtp = kelTestRTPTextPacket(1, "");
    ASSERT_EQ(rtp.size(), 12u);
    EXPECT_EQ(classify(rtp), keldg_rtp);
    EXPECT_EQ(kelClassifyDatagram(rtp.data(), 11), keldg_other);

    EXPECT_EQ(kelClassifyDatagram(kelTestRTCPReceiverReport.data(), 8), keldg_rtcp);
    EXPECT_EQ(kelClassifyDatagram(kelTestRTCPReceiverReport.data(), 7), keldg_other);
    EXPECT_EQ(kelClassifyDatagram(kelTestRTCPReceiverReport.data(), 1), keldg_other);

    // DTLS goes by its first byte alone.
    EXPECT_EQ(kelClassifyDatagram(kelTestDTLSClientHello.data(), 1), keldg_dtls);
    EXPECT_EQ(kelClassifyDatagram(rtp.data(), 0), keldg_other);
    EXPECT_EQ(kelClassifyDatagram(nullptr, 20), keldg_other);
    EXPECT_FALSE(kelIsSTUNMessage(nullptr, 20));
}

} // namespace
