// What the IP receiver sends and where: hole packets to the default ports,
// no repeats without RTCP, and the tcp transport, watched from plain
// sockets on 127.0.0.1.

#include "core/kelClock.h"
#include "core/kelTick.h"
#include "net/rtp/kelRTPHeader.h"
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"
#include "tests/pipes/kelPipeHarness.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

kelString toKel(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

bool isCNPing(const std::vector<uint8_t>& d)
{
    return d.size() == kelRTPCNPingSize && d[0] == 0x80 && (d[1] & 0x7F) == kelRTPPayloadCN;
}

// A TCP listener on 127.0.0.1, any port: the far end of a tcp URI.
class kelTestTcpListener
{
public:
    kelTestTcpListener()
    {
        f_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = kelTestLoopback(0);
        socklen_t len = sizeof a;
        if (f_fd < 0 || ::bind(f_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(f_fd, 1) != 0 || ::getsockname(f_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        f_port = ntohs(a.sin_port);
    }
    ~kelTestTcpListener()
    {
        if (f_fd >= 0) ::close(f_fd);
    }
    kelTestTcpListener(const kelTestTcpListener&) = delete;
    kelTestTcpListener& operator=(const kelTestTcpListener&) = delete;

    bool ok() const { return f_port != 0; }
    uint16_t port() const { return f_port; }
    // The next connection within `timeoutMs`, -1 when none came.
    int accept(int timeoutMs) const
    {
        pollfd p{f_fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1 ? ::accept(f_fd, nullptr, nullptr) : -1;
    }

private:
    int f_fd = -1;
    uint16_t f_port = 0;
};

} // namespace

TEST(kelIPReceiverHolesTest, URIWithoutPortPunchesHolesTo5004And5005)
{
    kelTestPeer rtp(5004);
    kelTestPeer rtcp(5005);
    if (!rtp.ok() || !rtcp.ok())
        GTEST_SKIP() << "127.0.0.1 ports 5004/5005 are in use here; the default-port holes cannot be watched";
    constexpr uint32_t ssrc = 0x5EED0001;
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    rx->set_SSRC(ssrc);
    rx->setURI(u"rtp://127.0.0.1");
    ASSERT_TRUE(rx->open()) << std::string(rx->descriptionError().begin(), rx->descriptionError().end());
    const int local = portFromString(rx->portLocal());

    uint16_t from = 0;
    std::vector<uint8_t> ping;
    const uint64_t start = tickNow();
    while (from != local && ticksSince(start) < 10000)
        ping = rtp.receive(10000, &from);
    ASSERT_EQ(from, local);
    // A receiver without a transmitter beside it numbers its pings from 1.
    EXPECT_EQ(ping, kelGoldenCNPing(1, ssrc));

    // One compound: an empty RR, our CNAME, then the empty APP "HELO" of
    // subtype 0.
    std::vector<kelTestRTCPPart> parts;
    while (parts.empty() && ticksSince(start) < 10000)
        parts = kelTestSplitCompound(rtcp.receive(10000, &from));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].type, 201);
    EXPECT_EQ(parts[0].bytes.size(), 8u);
    EXPECT_EQ(parts[1].type, 202);
    EXPECT_EQ(parts[2].type, 204);
    EXPECT_EQ(parts[2].bytes, kelGoldenHELO(ssrc));
    EXPECT_EQ(from, local + 1);
    rx->close();
}

TEST(kelIPReceiverHolesTest, WithoutRTCPOnlyTheOpeningPingGoesOutAndNoneIsRepeated)
{
    // Two receivers side by side on one manual clock: with RTCP (which
    // repeats its holes at report time, the proof that the clock moved far
    // enough) and without.
    kelManualClock clock;
    const uint16_t portOn = kelTestFreeRTPPort();
    kelTestPeer onRTP(portOn);
    kelTestPeer onRTCP(static_cast<uint16_t>(portOn + 1));
    const uint16_t portOff = kelTestFreeRTPPort();
    kelTestPeer offRTP(portOff);
    kelTestPeer offRTCP(static_cast<uint16_t>(portOff + 1));
    ASSERT_TRUE(onRTP.ok() && onRTCP.ok() && offRTP.ok() && offRTCP.ok());
    kelOwned<TkelIPReceiver> withRTCP(kelCreate<TkelIPReceiver>());
    kelOwned<TkelIPReceiver> without(kelCreate<TkelIPReceiver>());
    withRTCP->setURI(kelTestURI(portOn));
    without->setURI(kelTestURI(portOff));
    without->setEnableRTCP(false);
    withRTCP->setClock(clock);
    without->setClock(clock);
    ASSERT_TRUE(withRTCP->open());
    ASSERT_TRUE(without->open());
    EXPECT_EQ(without->rtcp(), nullptr);

    int pingsOn = 0;
    int pingsOff = 0;
    int reportsOn = 0;
    int reportsOff = 0;
    const auto count = [&] {
        pingsOn += isCNPing(onRTP.receive(0)) ? 1 : 0;
        pingsOff += isCNPing(offRTP.receive(0)) ? 1 : 0;
        reportsOn += onRTCP.receive(0).empty() ? 0 : 1;
        reportsOff += offRTCP.receive(0).empty() ? 0 : 1;
        return pingsOn >= 3 && reportsOn >= 3;
    };
    // The opening set and two repeats, each at a report time a few seconds
    // of the clock apart.
    ASSERT_TRUE(kelTestAdvanceUntil(clock, count, 60000, 5000));
    EXPECT_EQ(pingsOff, 1);
    EXPECT_EQ(reportsOff, 0);
    withRTCP->close();
    without->close();
}

TEST(kelIPReceiverHolesTest, TcpURIConnectsToItsHostAndHandsOnTheStream)
{
    kelTestTcpListener listener;
    ASSERT_TRUE(listener.ok());

    kelOwned<kelTestPipe> sink(kelCreate<kelTestPipe>("sink"));
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(rx->addConsumer(sink.get()));
    rx->setSwapRAWbytes(false);
    rx->setURI(toKel("tcp://127.0.0.1:" + std::to_string(listener.port())));
    EXPECT_EQ(rx->socketType(), kelIPSocketTCP);
    ASSERT_TRUE(rx->open()) << std::string(rx->descriptionError().begin(), rx->descriptionError().end());
    ASSERT_TRUE(sink->open());

    const int conn = listener.accept(10000);
    ASSERT_GE(conn, 0) << "the receiver did not connect";
    const std::string data = "\x80\x71raw tcp bytes";
    ASSERT_EQ(::send(conn, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    std::vector<uint8_t> got;
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            got.clear();
            for (const kelTestBlock& b : sink->blocks())
                got.insert(got.end(), b.bytes.begin(), b.bytes.end());
            return got.size() >= data.size();
        },
        10000));
    EXPECT_EQ(std::string(got.begin(), got.end()), data);
    rx->close();
    ::close(conn);
}

// A TCP stream may be read at any byte, also in the middle of a sample: the
// samples after such a read still come out whole and in host order.
TEST(kelIPReceiverHolesTest, TcpL16CutInsideASampleStaysAligned)
{
    kelTestTcpListener listener;
    ASSERT_TRUE(listener.ok());

    kelOwned<kelTestPipe> sink(kelCreate<kelTestPipe>("sink"));
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(rx->addConsumer(sink.get()));
    rx->setSwapRAWbytes(true);
    rx->setURI(toKel("tcp://127.0.0.1:" + std::to_string(listener.port())));
    ASSERT_EQ(rx->encoding(), kelRTPEnc_L16);
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(sink->open());
    const int conn = listener.accept(10000);
    ASSERT_GE(conn, 0) << "the receiver did not connect";

    // Samples 0x0102, 0x0304, ... in network order, sent in pieces of
    // 3, 1, 5 and 3 bytes, each piece read before the next is sent.
    const std::vector<uint8_t> wire{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> got;
    const auto delivered = [&] {
        got.clear();
        for (const kelTestBlock& b : sink->blocks())
            got.insert(got.end(), b.bytes.begin(), b.bytes.end());
        return got.size();
    };
    size_t sent = 0;
    for (const size_t piece : {3u, 1u, 5u, 3u}) {
        ASSERT_EQ(::send(conn, wire.data() + sent, piece, 0), static_cast<ssize_t>(piece));
        sent += piece;
        ASSERT_TRUE(kelTestWaitUntil([&] { return delivered() >= (sent & ~size_t{1}); }, 10000));
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{2, 1, 4, 3, 6, 5, 8, 7, 10, 9, 12, 11}));
    rx->close();
    ::close(conn);
}
