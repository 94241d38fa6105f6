// The IP transmitter's RTCP timing on a manual clock: members that fall
// silent time out after report intervals of the component's clock, watched
// from plain sockets on 127.0.0.1 while the test moves the clock.

#include "core/kelClock.h"
#include "net/rtp/kelRTCPPackets.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

// Counts the members its RTCP stack declared timed out (RTCP threads).
class timeoutCountingTransmitter : public TkelIPTransmitter
{
public:
    int timedOut() const { return f_timedOut.load(); }

protected:
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        if (timedOut) ++f_timedOut;
        TkelIPTransmitter::onMemberGone(member, timedOut);
    }

private:
    std::atomic<int> f_timedOut{0};
};

std::vector<uint8_t> receiverReport(uint32_t ssrc)
{
    std::vector<uint8_t> rr(8);
    kelRTCPWriter w(rr.data(), rr.size());
    if (!w.beginRR(ssrc)) return {};
    w.closePacket();
    return rr;
}

// An RTP port and the RTCP port beside it, both bound on 127.0.0.1.
struct clientPorts
{
    clientPorts() : rtp(kelTestFreeRTPPort()), rtcp(static_cast<uint16_t>(rtp.port() + 1)) {}
    bool ok() const { return rtp.ok() && rtcp.ok() && rtp.port() != 0; }
    kelTestPeer rtp;
    kelTestPeer rtcp;
};

} // namespace

// A client that reported once and fell silent is dropped after the member
// time-out (six report intervals of the clock), and its session with it;
// one that keeps reporting stays and is still sent to.
TEST(kelIPManualClockTest, SilentClientTimesOutAfterReportIntervalsOfClockTime)
{
    constexpr uint32_t kSilentSSRC = 0x5111E000;
    constexpr uint32_t kLiveSSRC = 0x11FE0000;
    kelManualClock clock;
    clientPorts silent, live;
    ASSERT_TRUE(silent.ok() && live.ok());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<timeoutCountingTransmitter> tx(kelCreate<timeoutCountingTransmitter>());
    ASSERT_TRUE(tx);
    tx->setClock(clock);
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    // Static destinations are not dropped by the keep-alive: only the
    // member time-out ends the silent one's session.
    ASSERT_EQ(tx->destAdd(true, silent.rtp.uri(), true, u"1", kSilentSSRC, -1), 0);
    ASSERT_EQ(tx->destAdd(true, live.rtp.uri(), true, u"2", kLiveSSRC, -1), 1);

    // Both report from the port beside their RTP port: members with an
    // RTCP address and no RTP, as clients that only receive are.
    const uint16_t txRTCP = static_cast<uint16_t>(port + 1);
    ASSERT_TRUE(silent.rtcp.sendTo(txRTCP, receiverReport(kSilentSSRC)));
    ASSERT_TRUE(live.rtcp.sendTo(txRTCP, receiverReport(kLiveSSRC)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rtcp() && tx->rtcp()->memberCount() >= 3; }));

    // The live client reports once for every step of the clock.
    uint64_t reportedAt = 0;
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock,
        [&] {
            if (clock.nowMs() != reportedAt) {
                reportedAt = clock.nowMs();
                (void)live.rtcp.sendTo(txRTCP, receiverReport(kLiveSSRC));
            }
            return tx->timedOut() >= 1 && tx->destCount() == 1;
        },
        180000, 5000));
    EXPECT_EQ(tx->timedOut(), 1);
    ASSERT_EQ(tx->sendText(u"k"), kelS_OK);
    EXPECT_EQ(live.rtp.receiveText(kelTestWaitMs), "k");
    // Both would have been sent in the same call.
    EXPECT_TRUE(silent.rtp.receiveRTP(113, 0).empty());
    tx->close();
}
