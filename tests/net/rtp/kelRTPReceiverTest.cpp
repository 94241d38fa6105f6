// kelRTPReceiver on the loopback interface: header stripping, the switch to
// raw mode, TCP in both roles, binding failures and prompt stops.
#include "kelRTPStreamTestSupport.h"

#include "core/kelParseInt.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

namespace {

Bytes rtpPacket(uint16_t seq, uint32_t ts, uint32_t ssrc, const Bytes& payload, uint8_t csrcs = 0,
                uint8_t padding = 0)
{
    Bytes p(kelRTPHeaderSize + 4u * csrcs);
    rtpWriteHeader(p.data(), false, 0, seq, ts, ssrc);
    p[0] = static_cast<uint8_t>(p[0] | csrcs | (padding ? 0x20 : 0));
    p.insert(p.end(), payload.begin(), payload.end());
    if (padding) {
        p.insert(p.end(), padding - 1, 0);
        p.push_back(padding);
    }
    return p;
}

void sendTo(kelUdpSocket& s, uint16_t port, const Bytes& b)
{
    ASSERT_EQ(s.sendto(kelTestLoopback(port), b.data(), static_cast<uint32_t>(b.size())), 0);
}

TEST(kelRTPReceiverTest, StripsCsrcsAndPaddingAndDropsTruncatedPackets)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->active());
    const uint16_t port = portOf(r->portLocal());
    ASSERT_NE(port, 0);
    // RTCP sits on the next port.
    EXPECT_EQ(r->rtcp()->boundPort(), port + 1);

    auto s = plainSocket();
    ASSERT_TRUE(s);
    const Bytes payload{1, 2, 3, 4, 5, 6, 7};
    sendTo(*s, port, rtpPacket(100, 1000, 0xABCD0001, payload));
    sendTo(*s, port, rtpPacket(101, 1160, 0xABCD0001, payload, 2, 4));
    // Claims three CSRCs it does not carry: nothing to deliver.
    Bytes cut = rtpPacket(102, 1320, 0xABCD0001, {});
    cut[0] |= 3;
    sendTo(*s, port, cut);
    sendTo(*s, port, rtpPacket(103, 1480, 0xABCD0001, {9}));

    ASSERT_TRUE(waitFor([&] { return r->dataCount() >= 3; }));
    const auto got = r->dataCopy();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].payload, payload);
    EXPECT_EQ(got[0].header.seq(), 100);
    EXPECT_EQ(got[0].header.ssrc(), 0xABCD0001u);
    EXPECT_EQ(got[1].payload, payload);
    EXPECT_EQ(got[1].packetSize, 12u + 8u + payload.size() + 4u);
    EXPECT_EQ(got[2].payload, Bytes{9});
    EXPECT_EQ(got[2].header.timestamp(), 1480u);
    EXPECT_EQ(ntohs(got[0].from.sin_port), boundPort(*s));
    EXPECT_FALSE(r->isRAW());
}

TEST(kelRTPReceiverTest, HeaderExtensionsAreNeitherPayloadNorDelivered)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());
    ASSERT_NE(port, 0);
    auto s = plainSocket();
    ASSERT_TRUE(s);
    sendTo(*s, port, kelGoldenRTPWithExtension);
    // The same packet with an extension claiming more words than it has.
    Bytes overrun = kelGoldenRTPWithExtension;
    overrun[kelGoldenRTPExtensionLengthAt + 1] = 9;
    overrun[3] = 8;
    sendTo(*s, port, overrun);
    Bytes next = kelGoldenRTPWithExtension;
    // Refused before the sequence count: the next one follows on.
    next[3] = 8;
    next.back() = 'd';
    sendTo(*s, port, next);

    ASSERT_TRUE(waitFor([&] { return r->dataCount() >= 2; }));
    const auto got = r->dataCopy();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].payload, (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(got[0].header.seq(), 7);
    EXPECT_EQ(got[0].packetSize, kelGoldenRTPWithExtension.size());
    EXPECT_EQ(got[1].payload, (Bytes{'a', 'b', 'd'}));
    EXPECT_EQ(got[1].header.seq(), 8);
}

// 40 ms of 48 kHz stereo L16 is 7680 bytes: a datagram of any size that
// UDP carries arrives whole, never cut at some buffer size.
TEST(kelRTPReceiverTest, LargeDatagramsArriveWhole)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());
    auto s = plainSocket();
    ASSERT_TRUE(s);
    Bytes payload(7680);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7 + i / 256);
    sendTo(*s, port, rtpPacket(1, 0, 0xABCD0002, payload));
    Bytes biggest(65507 - 12, 0x5A);
    biggest.back() = 0xA5;
    sendTo(*s, port, rtpPacket(2, 3840, 0xABCD0002, biggest));

    ASSERT_TRUE(waitFor([&] { return r->dataCount() >= 2; }));
    const auto got = r->dataCopy();
    EXPECT_EQ(got[0].payload, payload);
    EXPECT_EQ(got[1].payload, biggest);
}

TEST(kelRTPReceiverTest, FiveNonRtpDatagramsTurnAReceiverThatHeardNoRtpRaw)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());
    auto s = plainSocket();
    ASSERT_TRUE(s);
    for (int i = 0; i < 4; ++i)
        sendTo(*s, port, Bytes(20, static_cast<uint8_t>(0xC0 + i)));
    ASSERT_TRUE(waitFor([&] { return r->brokenCount() == 4; }));
    EXPECT_FALSE(r->isRAW());
    sendTo(*s, port, Bytes(20, 0xC4));
    const Bytes sixth{0xC5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0, 0};
    sendTo(*s, port, sixth);
    const Bytes rtpNowRaw = rtpPacket(8, 0, 0x1234, {43});
    sendTo(*s, port, rtpNowRaw);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 2; }));
    EXPECT_TRUE(r->isRAW());
    const auto got = r->dataCopy();
    // The five bad ones never arrive; from then on datagrams arrive whole,
    // RTP headers included.
    EXPECT_EQ(got[0].payload, sixth);
    EXPECT_EQ(got[1].payload, rtpNowRaw);
}

TEST(kelRTPReceiverTest, TcpServerDeliversTheStreamRawAndTakesTheNextPeer)
{
    kelOwned<RecordingReceiver> r(kelCreate<RecordingReceiver>(
        u"0", kelString(), false, kelString(u"127.0.0.1"), nullptr, false, false, 1));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->isRAW());
    EXPECT_TRUE(r->isServer());
    EXPECT_EQ(r->rtcp(), nullptr);
    ASSERT_TRUE(r->start(10000));
    ASSERT_TRUE(waitFor([&] { return r->portLocal() != u"<none>"; }));
    const uint16_t port = portOf(r->portLocal());

    std::string stream;
    for (int peer = 0; peer < 2; ++peer) {
        kelTcpSocket c;
        const sockaddr_in to = kelTestLoopback(port);
        ASSERT_EQ(c.connect(&to), 0);
        const std::string text = peer == 0 ? "first peer's bytes|" : "second peer's bytes";
        ASSERT_EQ(c.send(text, true), 0);
        stream += text;
        ASSERT_TRUE(waitFor([&] {
            size_t total = 0;
            for (const Received& x : r->dataCopy())
                total += x.payload.size();
            return total == stream.size();
        }));
        c.close(true);
    }
    std::string got;
    for (const Received& x : r->dataCopy())
        got.append(x.payload.begin(), x.payload.end());
    EXPECT_EQ(got, stream);
}

TEST(kelRTPReceiverTest, TcpClientConnectsToItsPeer)
{
    kelTcpSocket server;
    server.setBindToIP(u"127.0.0.1");
    ASSERT_EQ(server.bindSocketToPort(0), 0);
    ASSERT_EQ(server.listen(1), 0);
    const kelString port = formatInteger(boundPort(server));
    kelOwned<RecordingReceiver> r(kelCreate<RecordingReceiver>(port, kelString(u"127.0.0.1"), false,
                                                               kelString(), nullptr, false, true, 1));
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->isServer());
    ASSERT_TRUE(r->start(10000));
    intptr_t result = 0;
    auto peer = server.accept(result, 5000);
    ASSERT_TRUE(peer);
    ASSERT_EQ(peer->send(std::string("\x80\x00 raw over tcp", 15), true), 0);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() > 0; }));
    EXPECT_EQ(r->dataCopy()[0].payload.size(), 15u);
}

TEST(kelRTPReceiverTest, PortInUseIsReportedAndNothingRuns)
{
    auto first = startedReceiver(true);
    ASSERT_TRUE(first);
    auto second = startedReceiver(true, first->portLocal());
    ASSERT_TRUE(second);
    EXPECT_EQ(second->socketError(), WSAEADDRINUSE);
    EXPECT_FALSE(second->active());
    EXPECT_TRUE(waitFor([&] { return second->status() == keltsStopped; }, 5000));
}

TEST(kelRTPReceiverTest, StopsPromptlyAndRestartsWithANewSSRC)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    const uint32_t first = r->_SSRC();
    EXPECT_NE(first, 0u);
    // Long enough for the receive wait to have grown well past a second.
    kelSleepMs(300);
    const uint64_t mark = tickNow();
    EXPECT_TRUE(r->stop(3000));
    EXPECT_LT(ticksSince(mark), 1500u);
    EXPECT_FALSE(r->active());
    EXPECT_EQ(r->rtcp()->boundPort(), 0);

    r->setNewSSRC(0x5EED5EED);
    ASSERT_TRUE(r->start(10000));
    EXPECT_EQ(r->_SSRC(), 0x5EED5EEDu);
    EXPECT_TRUE(r->active());
}

TEST(kelRTPReceiverTest, SocketlessReceiverIsFedByItsOwner)
{
    kelOwned<RecordingReceiver> r(kelCreate<RecordingReceiver>(false));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rtcp(), nullptr);
    EXPECT_EQ(r->sendRTP_CN_To(kelTestLoopback(9)), WSAENOTSOCK);
    const Bytes p = rtpPacket(1, 2, 3, {4, 5});
    r->processDatagram(kelTestLoopback(5004), p.data(), p.size());
    ASSERT_EQ(r->dataCount(), 1u);
    EXPECT_EQ(r->dataCopy()[0].payload, (Bytes{4, 5}));
}

} // namespace

namespace {

class SilenceRecorder : public RecordingReceiver
{
public:
    using RecordingReceiver::RecordingReceiver;
    void onMemberSilent(const rtp_site_info* member) override
    {
        std::lock_guard<std::mutex> g(guard);
        silent.push_back(member ? member->r_ssrc : 0);
    }
    std::vector<uint32_t> silent;
};

TEST(kelRTPReceiverTest, MembersThatSentNoMediaAreNamedAtEachReportTimer)
{
    // Not started: the RTCP stack is fed by hand and the hook called as the
    // idle thread would.
    kelOwned<SilenceRecorder> r(kelCreate<SilenceRecorder>(kelString(u"0"), kelString(), false,
                                                           kelString(u"127.0.0.1"), nullptr, true, false, 1));
    ASSERT_TRUE(r);
    ASSERT_NE(r->rtcp(), nullptr);
    r->onIdle(true);
    EXPECT_EQ(r->silent, (std::vector<uint32_t>{0})) << "no members";

    Bytes rr(8);
    for (const uint32_t ssrc : {0x5111u, 0x5222u}) {
        kelRTCPWriter w(rr.data(), rr.size());
        ASSERT_TRUE(w.beginRR(ssrc));
        w.closePacket();
        r->rtcp()->processRTCP(kelTestLoopback(6001), rr.data(), rr.size());
    }
    rtp_hdr h;
    h.setSsrc(0x5222);
    r->rtcp()->processRTP(kelTestLoopback(6000), h, 20);
    r->silent.clear();
    r->onIdle(false);
    EXPECT_TRUE(r->silent.empty()) << "only when the timer ran out";
    r->onIdle(true);
    EXPECT_EQ(r->silent, (std::vector<uint32_t>{0x5111}));
}

} // namespace
