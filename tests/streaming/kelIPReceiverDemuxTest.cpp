// An rtp:// receiver whose RTP port also gets what ICE and rtcp-mux peers
// send there: STUN connectivity checks and RTCP. The text stream must go on
// through them, the receiver must stay out of raw mode, and every STUN
// message must reach the receiver's STUN seam as it came off the wire.

#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/streaming/kelIPTestNet.h"
#include "tests/streaming/kelIPTestPeer.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestSTUNReceiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint32_t kChecks = 100;

class kelIPReceiverDemuxTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        f_uriPort = kelTestFreeRTPPort();
        ASSERT_NE(f_uriPort, 0);
        f_rx.reset(kelCreate<kelTestSTUNReceiver>());
        ASSERT_TRUE(f_rx);
        f_rx->setURI(kelTestURI(f_uriPort));
        ASSERT_TRUE(f_rx->open());
        ASSERT_NE(f_rx->rec(), nullptr);
        const kelString local = f_rx->portLocal();
        f_rxPort = static_cast<uint16_t>(std::stoi(std::string(local.begin(), local.end())));
        ASSERT_NE(f_rxPort, 0);
    }
    void TearDown() override
    {
        if (f_rx) f_rx->close();
    }

    uint16_t f_uriPort = 0;
    uint16_t f_rxPort = 0;
    kelOwned<kelTestSTUNReceiver> f_rx;
};

// An ICE peer checks and sends text from one port.
TEST_F(kelIPReceiverDemuxTest, TextFromAPeerThatSentHundredChecksArrives)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    for (uint32_t i = 0; i < kChecks; ++i)
        peer.sendTo(f_rxPort, kelTestSTUNBindingRequestNumbered(i));
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->stunCount() >= kChecks; }, 10000));
    const auto got = f_rx->stun();
    for (uint32_t i = 0; i < kChecks; ++i)
        EXPECT_EQ(got[i], kelTestSTUNBindingRequestNumbered(i)) << "request " << i;
    EXPECT_EQ(f_rx->rec()->brokenCount(), 0);

    peer.sendTo(f_rxPort, kelTestRTPTextPacket(1, "hello", 0x0BADCAFE, true));
    peer.sendTo(f_rxPort, kelTestSTUNConnectivityCheck);
    peer.sendTo(f_rxPort, kelTestRTPTextPacket(2, "\xD0\x96!"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->texts().size() >= 2; }, 10000));
    EXPECT_EQ(f_rx->texts(), (std::vector<kelString>{u"hello", u"\u0416!"}));
    EXPECT_EQ(f_rx->stunCount(), kChecks + 1);
    EXPECT_FALSE(f_rx->rec()->isRAW());
    EXPECT_EQ(f_rx->rec()->brokenCount(), 0);
}

// An rtcp-mux peer's report on the RTP port is RTCP to the receiver: its
// CNAME shows in descriptionInfo, and nothing of it comes out as text.
TEST_F(kelIPReceiverDemuxTest, RtcpOnTheRtpPortIsTakenAsRtcp)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    for (int i = 0; i < 10; ++i)
        peer.sendTo(f_rxPort, kelTestRTCPReceiverReport);
    const kelString cname(kelTestRTCPCName.begin(), kelTestRTCPCName.end());
    ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->descriptionInfo() == cname; }, 10000));
    EXPECT_EQ(f_rx->rec()->brokenCount(), 0);
    // The first text packet then decides the format (which clears the
    // description) and arrives as the first text.
    peer.sendTo(f_rxPort, kelTestRTPTextPacket(1, "x"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return !f_rx->texts().empty(); }, 10000));
    EXPECT_EQ(f_rx->texts(), std::vector<kelString>{u"x"});
    EXPECT_FALSE(f_rx->rec()->isRAW());
    EXPECT_EQ(f_rx->rec()->brokenCount(), 0);
}

} // namespace
