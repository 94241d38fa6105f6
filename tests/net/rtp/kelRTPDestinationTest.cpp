// kelRTPDestination through a recording send context (no socket), and the
// transmitter's keep-alive judging destinations on a hand-moved clock.
#include "kelRTPStreamTestSupport.h"

#include "net/rtp/kelRTPSendContext.h"

#include <gtest/gtest.h>

namespace {

struct SentDatagram
{
    bool viaRTCP;
    uint16_t port;
    Bytes bytes;
};

// Keeps every datagram a destination hands over and answers with `result`.
class RecordingSendContext final : public kelRTPSendContext
{
public:
    explicit RecordingSendContext(bool withRTCP = true) : f_withRTCP(withRTCP) {}

    const kelClock& clock() const noexcept override { return f_clock; }
    const kelString& bind2ip() const noexcept override { return f_ip; }
    const kelString& bind2port() const noexcept override { return f_port; }
    int sendRTPDatagram(const sockaddr_in& to, const uint8_t* d, size_t n) noexcept override
    {
        return record(false, to, d, n);
    }
    bool hasRTCPSocket() const noexcept override { return f_withRTCP; }
    int sendRTCPDatagram(const sockaddr_in& to, const uint8_t* d, size_t n) noexcept override
    {
        return record(true, to, d, n);
    }

    kelManualClock f_clock{5000000};
    int result = 0;
    std::vector<SentDatagram> sent;

private:
    int record(bool viaRTCP, const sockaddr_in& to, const uint8_t* d, size_t n)
    {
        EXPECT_EQ(to.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        sent.push_back(SentDatagram{viaRTCP, ntohs(to.sin_port), Bytes(d, d + n)});
        return result;
    }

    bool f_withRTCP;
    kelString f_ip = u"127.0.0.1";
    kelString f_port = u"0";
};

kelOwned<kelRTPDestination> unicastDest(RecordingSendContext& ctx, bool doOpen = true)
{
    return kelOwned<kelRTPDestination>(
        kelCreate<kelRTPDestination>(false, &ctx, kelTestLoopback(40000), nullptr, doOpen, 1, 0u));
}

TEST(kelRTPDestinationTest, UnicastPacketsTakeTheSharedSocketsToTheirOwnAddresses)
{
    Bytes rtp(20, 0x11);
    rtpWriteHeader(rtp.data(), true, 0, 7, 160, 0xCAFEF00D);
    const Bytes rtcp{0x80, 201, 0x00, 0x01, 0xCA, 0xFE, 0xF0, 0x0D};
    RecordingSendContext ctx;
    auto d = unicastDest(ctx);
    ASSERT_TRUE(d && d->isOpen());
    EXPECT_EQ(d->transmit(rtp.data(), rtp.size(), false), 0);
    EXPECT_EQ(d->transmit(rtcp.data(), rtcp.size(), true), 0);
    ASSERT_EQ(ctx.sent.size(), 2u);
    EXPECT_FALSE(ctx.sent[0].viaRTCP);
    EXPECT_EQ(ctx.sent[0].port, 40000);
    EXPECT_EQ(ctx.sent[0].bytes, rtp);
    EXPECT_TRUE(ctx.sent[1].viaRTCP);
    EXPECT_EQ(ctx.sent[1].port, 40001) << "RTCP on the RTP port + 1";
    EXPECT_EQ(ctx.sent[1].bytes, rtcp);

    // Without an RTCP stack a report leaves through the RTP socket, still to
    // the RTCP address.
    RecordingSendContext bare(false);
    auto b = unicastDest(bare);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->transmit(rtcp.data(), rtcp.size(), true), 0);
    ASSERT_EQ(bare.sent.size(), 1u);
    EXPECT_FALSE(bare.sent[0].viaRTCP);
    EXPECT_EQ(bare.sent[0].port, 40001);
}

TEST(kelRTPDestinationTest, LifecycleGatesSendsAndMarksLifeOnTheContextClock)
{
    RecordingSendContext ctx;
    auto d = unicastDest(ctx, false);
    ASSERT_TRUE(d);
    const uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(d->lastRRTM(), 5000000u) << "made closed: marked at creation";
    EXPECT_EQ(d->transmit(b, sizeof b, false), WSAENOTSOCK);
    ctx.f_clock.advanceMs(30000);
    ASSERT_TRUE(d->openDest());
    EXPECT_EQ(d->lastRRTM(), 5030000u) << "opening is a fresh sign of life";
    d->setEnabled(false);
    EXPECT_EQ(d->transmit(b, sizeof b, false), 0);
    EXPECT_EQ(d->transmit(b, sizeof b, true), 0);
    EXPECT_TRUE(ctx.sent.empty()) << "a disabled destination hands nothing to the sockets";
    d->setEnabled(true);
    ctx.result = WSAECONNRESET;
    EXPECT_EQ(d->transmit(b, sizeof b, false), WSAECONNRESET);
    EXPECT_EQ(d->transmit(b, sizeof b, true), WSAECONNRESET);
    d->closeDest();
    EXPECT_EQ(d->transmit(b, sizeof b, true), WSAENOTSOCK);
    EXPECT_EQ(ctx.sent.size(), 2u);
}

// A receiver report from `reporter`, with a block about `about` when nonzero.
Bytes receiverReport(uint32_t reporter, uint32_t about)
{
    Bytes rr(32);
    kelRTCPWriter w(rr.data(), rr.size());
    EXPECT_TRUE(w.beginRR(reporter));
    kelRTCPReportBlock block;
    block.ssrc = about;
    if (about != 0) {
        EXPECT_TRUE(w.addBlock(block));
    }
    w.closePacket();
    rr.resize(w.size());
    return rr;
}

TEST(kelRTPDestinationTest, TransmitterKeepAliveKeepsOnlyDestinationsVouchedForWithin25s)
{
    kelManualClock clock;
    kelOwned<kelRTPTransmitter> t(kelCreate<kelRTPTransmitter>(0, false, false, kelString(u"127.0.0.1"),
                                                               kelString(u"0"), kelString(), 1));
    ASSERT_TRUE(t);
    t->setClock(clock);
    ASSERT_TRUE(t->open());
    const uint64_t t0 = clock.nowMs();
    // Dynamic destinations where nobody listens: one only a report from the
    // wrong address speaks for, one whose expected SSRC reports from its own
    // RTCP address (and, to no avail, from elsewhere), one whose own RTCP
    // address reports about us.
    auto sinkA = plainSocket(), sinkB = plainSocket(), sinkC = plainSocket();
    ASSERT_TRUE(sinkA && sinkB && sinkC);
    const sockaddr_in wrongAddr = kelTestLoopback(boundPort(*sinkA));
    const sockaddr_in bySSRC = kelTestLoopback(boundPort(*sinkB));
    const sockaddr_in byAddr = kelTestLoopback(boundPort(*sinkC));
    constexpr uint32_t kExpected = 0xABCD0001;
    ASSERT_GE(t->destAdd(false, &wrongAddr, nullptr, true), 0);
    ASSERT_GE(t->destAdd(false, &bySSRC, nullptr, true, false, kExpected), 0);
    ASSERT_GE(t->destAdd(false, &byAddr, nullptr, true), 0);
    kelRTPDestination* c = t->destGetAcq(byAddr, true);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->lastRRTM(), t0) << "destinations mark time on the transmitter's clock";
    kelObject::releaseOf(c);

    // The RTCP hook, as the stack's receive thread raises it.
    auto report = [&](uint64_t at, uint32_t reporter, uint32_t about, uint16_t fromPort) {
        clock.setMs(at);
        const Bytes rr = receiverReport(reporter, about);
        t->onRTCPPacket(reporter, kelTestLoopback(fromPort), rr.data(), rr.size());
    };
    const uint32_t own = t->_SSRC();
    report(t0 + 20000, 0x0F0F0F0F, own, 1);
    report(t0 + 19000, kExpected, 0, 1);
    report(t0 + 20000, kExpected, 0, static_cast<uint16_t>(ntohs(bySSRC.sin_port) + 1));
    report(t0 + 20000, 0x0F0F0F0F, own, static_cast<uint16_t>(ntohs(byAddr.sin_port) + 1));
    // Any report runs the check; exactly 25 s of silence is still allowed.
    report(t0 + 25000, 0x12345678, 0, 1);
    EXPECT_TRUE(t->destHas(wrongAddr));
    report(t0 + 25001, 0x12345678, 0, 1);
    EXPECT_FALSE(t->destHas(wrongAddr)) << "a report about us from another address vouches for nobody";
    EXPECT_TRUE(t->destHas(bySSRC));
    EXPECT_TRUE(t->destHas(byAddr));
    report(t0 + 45001, kExpected, 0, 1);
    EXPECT_FALSE(t->destHas(bySSRC)) << "its SSRC from another address kept it no longer";
    EXPECT_FALSE(t->destHas(byAddr));
}

} // namespace
