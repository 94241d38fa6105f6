// The stack on real sockets over the loopback interface: binding, the
// receive thread, the idle thread's first report and the BYE on stop.
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"
#include "core/kelParseInt.h"
#include "net/sockets/kelSockets.h"
#include "core/kelClock.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kOwnSSRC = 0x51DE0001;

class LoopbackOwner : public kelRTCPStackOwner
{
public:
    uint32_t rtcpSSRC() const noexcept override { return kOwnSSRC; }
    std::string rtcpCNAME() const override { return "loop@back"; }
    kelString rtcpBindIP() const override { return u"127.0.0.1"; }
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in&, const uint8_t*, size_t) override { lastSSRC = ssrc; }
    std::atomic<uint32_t> lastSSRC{0};
};

TEST(kelRTCPStackSocketTest, ReceivesReportsAndSaysGoodbyeOverLoopback)
{
    kelManualClock clock;
    LoopbackOwner owner;
    kelOwned<kelRTCPstack> stack = kelMakeOwned<kelRTCPstack>(&owner, false);
    ASSERT_TRUE(stack);
    stack->setClock(clock);
    stack->setNTPClock([](kelNTP_timestamp&) { return false; });
    stack->setBind2port(u"0");
    ASSERT_TRUE(stack->start(10000));
    ASSERT_TRUE(stack->readyEvent().waitFor(5000));
    EXPECT_EQ(stack->socketError(), 0);
    const uint16_t port = stack->boundPort();
    ASSERT_NE(port, 0);

    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    // A compound with its CNAME: the peer counts as a member at once.
    const Bytes rr = kelTestRTCPCompound(0x7777, "peer@near");
    ASSERT_TRUE(peer.sendTo(port, rr));
    ASSERT_TRUE(kelTestWaitUntil([&] { return owner.lastSSRC.load() == 0x7777; }));
    EXPECT_EQ(stack->memberCount(), 2);

    // The first report follows within the initial interval (at most about
    // 3.1 s of the stack's clock).
    Bytes report;
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return !(report = peer.receiveRTCP(kelrtcp_RR, 0)).empty(); }, 10000));
    kelRTCPReader reader(report.data(), report.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(reader.next(v));
    EXPECT_EQ(v.ssrc, kOwnSSRC);
    ASSERT_TRUE(reader.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);

    EXPECT_TRUE(stack->stop(5000));
    // The goodbye comes in a compound: RR, SDES, BYE.
    const std::vector<kelTestRTCPPart> bye =
        kelTestSplitCompound(peer.receiveCompoundWith(kelrtcp_BYE, kelTestWaitMs));
    ASSERT_EQ(bye.size(), 3u);
    EXPECT_EQ(bye[0].type, kelrtcp_RR);
    EXPECT_EQ(bye[1].type, kelrtcp_SDES);
    EXPECT_EQ(bye[2].bytes, kelGoldenBYE(kOwnSSRC));
    EXPECT_EQ(stack->memberCount(), 1) << "members are forgotten on stop";
}

TEST(kelRTCPStackSocketTest, TakesTheNextPortWhenItsOwnIsBusy)
{
    kelTestPeer squatter;
    const uint16_t busy = squatter.port();
    ASSERT_NE(busy, 0);

    LoopbackOwner owner;
    kelOwned<kelRTCPstack> stack = kelMakeOwned<kelRTCPstack>(&owner, false);
    ASSERT_TRUE(stack);
    stack->setNTPClock([](kelNTP_timestamp&) { return false; });
    stack->setBind2port(formatInteger(busy));
    ASSERT_TRUE(stack->start(10000));
    ASSERT_TRUE(stack->readyEvent().waitFor(5000));
    EXPECT_EQ(stack->socketError(), 0);
    EXPECT_GT(stack->boundPort(), busy);
    EXPECT_EQ(parseInteger(stack->bind2port()), stack->boundPort());
    // Never reported or sent: stopping sends no BYE and ends promptly.
    EXPECT_TRUE(stack->stop(5000));
}

} // namespace
