// kelRTPReceiver with a transmitter to expect: RTP from other addresses and
// SSRCs is dropped and counted, a restarted transmitter is taken over, the
// socket binds toward the transmitter, and a stream that sent RTP never
// turns raw.
#include "kelRTPStreamTestSupport.h"

#include "core/kelClock.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

namespace {

class SourceReceiver : public RecordingReceiver
{
public:
    using RecordingReceiver::RecordingReceiver;
    void onTransmitterChanged(uint32_t oldSSRC, uint32_t newSSRC) override
    {
        std::lock_guard<std::mutex> g(guard);
        changes.emplace_back(oldSSRC, newSSRC);
    }
    std::vector<std::pair<uint32_t, uint32_t>> changesCopy()
    {
        std::lock_guard<std::mutex> g(guard);
        return changes;
    }
    std::vector<std::pair<uint32_t, uint32_t>> changes;
};

// A started receiver on 127.0.0.1 that expects its transmitter at
// 127.0.0.1:`txPort`, on `clock` when given.
kelOwned<SourceReceiver> receiverExpecting(uint16_t txPort, const kelClock* clock = nullptr,
                                           const kelString& bind2ip = kelString(u"127.0.0.1"))
{
    kelOwned<SourceReceiver> r(
        kelCreate<SourceReceiver>(u"0", kelString(), false, bind2ip, nullptr, true, false, 1));
    if (!r) return r;
    if (clock) r->setClock(*clock);
    r->setExpectedSource(u"127.0.0.1", formatInteger(txPort));
    if (!r->start(10000) || !r->active()) r.reset();
    return r;
}

std::unique_ptr<kelUdpSocket> socketOn(const kelString& ip)
{
    auto s = std::make_unique<kelUdpSocket>();
    s->setBindToIP(ip);
    if (s->bindSocketToPort(0) != 0) return nullptr;
    return s;
}

void send(kelUdpSocket& s, uint16_t port, const Bytes& b)
{
    ASSERT_EQ(s.sendto(kelTestLoopback(port), b.data(), static_cast<uint32_t>(b.size())), 0);
}

std::vector<uint16_t> seqs(const std::vector<Received>& got)
{
    std::vector<uint16_t> out;
    for (const Received& r : got)
        out.push_back(r.header.seq());
    return out;
}

TEST(kelRTPReceiverSourceTest, ForeignFirstPacketsAreCountedAndDroppedWhateverTheirType)
{
    auto tx = plainSocket();
    auto otherPort = plainSocket();
    auto otherHost = socketOn(u"127.0.0.2");
    ASSERT_TRUE(tx && otherPort && otherHost);
    auto r = receiverExpecting(boundPort(*tx));
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());

    // Text from another host and G.711 from another local port come
    // first; then the transmitter's L16.
    send(*otherHost, port, kelTestRTPPacket(113, 1, {'h', 'i'}, 0, 0xF0F0F0F0));
    send(*otherPort, port, kelTestRTPPacket(0, 1, {0xFF}, 0, 0x0F0F0F0F));
    ASSERT_TRUE(waitFor([&] { return r->foreignCount() == 2; }));
    for (uint16_t s = 1; s <= 3; ++s)
        send(*tx, port, kelTestRTPPacket(11, s, {1, 2, 3, 4}, s * 441u, 0xC0DEC0DE));
    // Still foreign once the transmitter is heard, from either side.
    send(*otherHost, port, kelTestRTPPacket(113, 2, {'x'}, 0, 0xF0F0F0F0));
    send(*otherPort, port, kelTestRTPPacket(11, 4, {9, 9, 9, 9}, 0, 0xC0DEC0DE));
    send(*tx, port, kelTestRTPPacket(11, 4, {5, 6, 7, 8}, 4 * 441u, 0xC0DEC0DE));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 4 && r->foreignCount() == 4; }));

    const auto got = r->dataCopy();
    EXPECT_EQ(seqs(got), (std::vector<uint16_t>{1, 2, 3, 4}));
    for (const Received& x : got) {
        EXPECT_EQ(x.header.payloadType(), 11);
        EXPECT_EQ(ntohs(x.from.sin_port), boundPort(*tx));
    }
    EXPECT_EQ(got[3].payload, (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(r->transmitterSSRC(), 0xC0DEC0DEu);
    // Foreign sources never become members of the session.
    std::vector<rtp_site_info> members;
    ASSERT_TRUE(r->rtcp()->session().copyMembers(members, nullptr, 1000, 1000));
    for (const rtp_site_info& m : members)
        EXPECT_TRUE(m.r_ssrc == 0xC0DEC0DE || m.r_ssrc == r->_SSRC()) << std::hex << m.r_ssrc;
}

TEST(kelRTPReceiverSourceTest, AnotherSSRCFromTheTransmitterTakesOverOnlyAfterByeOrASecondOfSilence)
{
    kelManualClock clock;
    auto tx = plainSocket();
    ASSERT_TRUE(tx);
    auto r = receiverExpecting(boundPort(*tx), &clock);
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());
    send(*tx, port, kelTestRTPPacket(113, 10, {'a'}, 0, 0xAAAA0001));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 1; }));
    // A second sender behind the same address and port while the first
    // one talks: not the transmitter.
    send(*tx, port, kelTestRTPPacket(113, 500, {'z'}, 0, 0xBBBB0002));
    ASSERT_TRUE(waitFor([&] { return r->foreignCount() == 1; }));
    // The first one goes on talking, so the second one's packet is dropped.
    send(*tx, port, kelTestRTPPacket(113, 11, {'a'}, 0, 0xAAAA0001));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 2; }));

    // Quiet for a second: a restarted transmitter, numbered anew.
    clock.advanceMs(1000);
    send(*tx, port, kelTestRTPPacket(113, 500, {'b'}, 0, 0xBBBB0002));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 3; }));
    EXPECT_EQ(r->transmitterSSRC(), 0xBBBB0002u);
    EXPECT_EQ(r->changesCopy(), (std::vector<std::pair<uint32_t, uint32_t>>{{0xAAAA0001, 0xBBBB0002}}));

    // A successor's packet that comes before the BYE it follows (the BYE
    // takes the RTCP socket) is kept, and delivered once the BYE is in.
    send(*tx, port, kelTestRTPPacket(113, 9, {'y'}, 0, 0xCCCC0003));
    ASSERT_TRUE(waitFor([&] { return r->foreignCount() == 2; }));
    send(*tx, port, kelTestRTCPCompound(0xBBBB0002, "tx@test", kelTestRTCPBye(0xBBBB0002)));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 4; }));
    send(*tx, port, kelTestRTPPacket(113, 10, {'c'}, 0, 0xCCCC0003));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 5; }));
    EXPECT_EQ(r->transmitterSSRC(), 0xCCCC0003u);
    EXPECT_EQ(r->foreignCount(), 1u) << "the kept packet was not foreign after all";
    const auto got = r->dataCopy();
    EXPECT_EQ(got[0].payload, Bytes{'a'});
    EXPECT_EQ(got[1].payload, Bytes{'a'});
    EXPECT_EQ(got[2].payload, Bytes{'b'});
    EXPECT_EQ(got[3].payload, Bytes{'y'});
    EXPECT_EQ(got[4].payload, Bytes{'c'});
    EXPECT_EQ(r->changesCopy().size(), 2u);
}

TEST(kelRTPReceiverSourceTest, BindsTheAddressThatRoutesToTheTransmitterUnlessBind2ipIsSet)
{
    auto tx = plainSocket();
    ASSERT_TRUE(tx);
    auto routed = receiverExpecting(boundPort(*tx), nullptr, kelString());
    ASSERT_TRUE(routed);
    EXPECT_EQ(routed->boundIP(), u"127.0.0.1");
    const uint16_t port = portOf(routed->portLocal());
    // Another loopback address of this machine does not reach it.
    auto stranger = socketOn(u"127.0.0.2");
    ASSERT_TRUE(stranger);
    sockaddr_in elsewhere = kelTestLoopback(port);
    elsewhere.sin_addr.s_addr = htonl(0x7F000003);
    const Bytes p = kelTestRTPPacket(113, 1, {'n'}, 0, 0x1);
    (void)stranger->sendto(elsewhere, p.data(), static_cast<uint32_t>(p.size()));
    send(*tx, port, kelTestRTPPacket(113, 1, {'y'}, 0, 0x2));
    ASSERT_TRUE(waitFor([&] { return routed->dataCount() == 1; }));
    EXPECT_EQ(routed->foreignCount(), 0u);
    EXPECT_EQ(routed->dataCopy()[0].payload, Bytes{'y'});

    // bind2ip wins; without a transmitter the receiver binds every address.
    auto chosen = receiverExpecting(boundPort(*tx), nullptr, kelString(u"127.0.0.2"));
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->boundIP(), u"127.0.0.2");
    kelOwned<SourceReceiver> any(
        kelCreate<SourceReceiver>(u"0", kelString(), false, kelString(), nullptr, true, true, 1));
    ASSERT_TRUE(any && any->start(10000));
    EXPECT_EQ(any->boundIP(), u"0.0.0.0");
}

TEST(kelRTPReceiverSourceTest, GarbageAfterTheTransmittersRtpNeverTurnsTheReceiverRaw)
{
    auto tx = plainSocket();
    auto other = plainSocket();
    ASSERT_TRUE(tx && other);
    auto r = receiverExpecting(boundPort(*tx));
    ASSERT_TRUE(r);
    const uint16_t port = portOf(r->portLocal());
    // Before any RTP, garbage from a stranger is foreign, not a vote for
    // raw.
    for (int i = 0; i < 6; ++i)
        send(*other, port, Bytes(20, 0xC0));
    ASSERT_TRUE(waitFor([&] { return r->foreignCount() == 6; }));
    EXPECT_EQ(r->brokenCount(), 0);
    send(*tx, port, kelTestRTPPacket(113, 1, {'o', 'k'}, 0, 0x7));
    for (int i = 0; i < 10; ++i)
        send(*tx, port, Bytes(20, static_cast<uint8_t>(0xC0 + i)));
    send(*tx, port, kelTestRTPPacket(113, 2, {'!'}, 0, 0x7));
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 2; }));
    EXPECT_FALSE(r->isRAW());
    EXPECT_EQ(r->garbageCount(), 10u);
    const auto got = r->dataCopy();
    EXPECT_EQ(got[0].payload, (Bytes{'o', 'k'}));
    EXPECT_EQ(got[1].payload, Bytes{'!'});
}

} // namespace
