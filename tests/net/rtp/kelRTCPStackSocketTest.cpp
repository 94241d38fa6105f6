// The stack on real sockets over the loopback interface: binding, the
// receive thread, the idle thread's first report and the BYE on stop.
#include "tests/support/kelTestNet.h"
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"
#include "core/kelParseInt.h"
#include "net/sockets/kelSockets.h"
#include "platform/kelPlatformThread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <functional>
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

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (done()) return true;
        kelSleepMs(5);
    }
    return done();
}

uint16_t boundPortOf(kelSocket& s)
{
    sockaddr_in a{};
    return s.getSockAddrBound(a) == 0 ? ntohs(a.sin_port) : 0;
}

// Reads datagrams until one starts with an RTCP packet of `type`, for at
// most `timeoutMs`.
bool receiveType(kelUdpSocket& peer, uint8_t type, int timeoutMs, Bytes* out = nullptr)
{
    const uint64_t start = tickNow();
    uint8_t buf[2048];
    while (ticksSince(start) < static_cast<uint64_t>(timeoutMs)) {
        sockaddr_in from{};
        const int n = peer.recvfrom(&from, buf, sizeof buf, false, 0, 100);
        if (n >= 4 && buf[1] == type) {
            if (out) out->assign(buf, buf + n);
            return true;
        }
    }
    return false;
}

TEST(kelRTCPStackSocketTest, ReceivesReportsAndSaysGoodbyeOverLoopback)
{
    LoopbackOwner owner;
    kelOwned<kelRTCPstack> stack = kelMakeOwned<kelRTCPstack>(&owner, false);
    ASSERT_TRUE(stack);
    stack->setNTPClock([](kelNTP_timestamp&) { return false; });
    stack->setBind2port(u"0");
    ASSERT_TRUE(stack->start(10000));
    ASSERT_TRUE(stack->readyEvent().waitFor(5000));
    EXPECT_EQ(stack->socketError(), 0);
    const uint16_t port = stack->boundPort();
    ASSERT_NE(port, 0);

    kelUdpSocket peer;
    peer.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(peer.bindSocketToPort(0), 0);
    Bytes rr(8);
    kelRTCPWriter w(rr.data(), rr.size());
    ASSERT_TRUE(w.beginRR(0x7777));
    w.closePacket();
    ASSERT_EQ(peer.sendto(kelTestLoopback(port), rr.data(), 8, false), 0);
    ASSERT_TRUE(waitUntil([&] { return owner.lastSSRC.load() == 0x7777; }, 5000));
    EXPECT_EQ(stack->memberCount(), 2);

    // The first report follows within the initial interval (at most about
    // 3.1 s); allow for a loaded machine.
    Bytes report;
    ASSERT_TRUE(receiveType(peer, kelrtcp_RR, 15000, &report));
    kelRTCPReader reader(report.data(), report.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(reader.next(v));
    EXPECT_EQ(v.ssrc, kOwnSSRC);
    ASSERT_TRUE(reader.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);

    EXPECT_TRUE(stack->stop(5000));
    Bytes bye;
    ASSERT_TRUE(receiveType(peer, kelrtcp_BYE, 5000, &bye));
    EXPECT_EQ(bye, (Bytes{0x81, 203, 0, 1, 0x51, 0xDE, 0, 1}));
    EXPECT_EQ(stack->memberCount(), 1) << "members are forgotten on stop";
}

TEST(kelRTCPStackSocketTest, TakesTheNextPortWhenItsOwnIsBusy)
{
    kelUdpSocket squatter;
    squatter.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(squatter.bindSocketToPort(0), 0);
    const uint16_t busy = boundPortOf(squatter);
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
