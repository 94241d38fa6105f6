// An rtp:// receiver whose RTP port also gets the STUN connectivity checks
// of an ICE peer: the text stream must go on through them, the receiver
// must stay out of raw mode, and every STUN message must reach the
// receiver's STUN seam as it came off the wire.

#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestSTUNReceiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The peer checks and sends its text from one port, as ICE peers do.
TEST(kelIPReceiverDemuxTest, TextFromAPeerThatSentHundredChecksArrives)
{
    constexpr uint32_t kChecks = 100;
    // The peer is the transmitter the receiver's URI names.
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    kelOwned<kelTestSTUNReceiver> rx(kelCreate<kelTestSTUNReceiver>());
    ASSERT_TRUE(rx);
    rx->setURI(peer.uri());
    ASSERT_TRUE(rx->open());
    const kelString local = rx->portLocal();
    const auto rxPort = static_cast<uint16_t>(std::stoi(std::string(local.begin(), local.end())));

    for (uint32_t i = 0; i < kChecks; ++i)
        peer.sendTo(rxPort, kelTestSTUNBindingRequestNumbered(i));
    ASSERT_TRUE(kelTestWaitUntil([&] { return rx->stunCount() >= kChecks; }, 10000));
    const auto got = rx->stun();
    for (uint32_t i = 0; i < kChecks; ++i)
        EXPECT_EQ(got[i], kelTestSTUNBindingRequestNumbered(i)) << "request " << i;
    EXPECT_EQ(rx->rec()->brokenCount(), 0);

    peer.sendTo(rxPort, kelTestRTPTextPacket(1, "hello", 0x0BADCAFE, true));
    peer.sendTo(rxPort, kelTestSTUNConnectivityCheck);
    peer.sendTo(rxPort, kelTestRTPTextPacket(2, "\xD0\x96!"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return rx->texts().size() >= 2; }, 10000));
    EXPECT_EQ(rx->texts(), (std::vector<kelString>{u"hello", u"\u0416!"}));
    EXPECT_EQ(rx->stunCount(), kChecks + 1);
    EXPECT_FALSE(rx->rec()->isRAW());
    EXPECT_EQ(rx->rec()->brokenCount(), 0);
    rx->close();
}
