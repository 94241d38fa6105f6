// A transmitter and a receiver on 127.0.0.1 with a hostile sender beside
// them on 127.0.0.2: forged hole packets, media and STUN checks from a
// thousand ports, a burst of forged members, and a third party vouching
// for a destination it is not.
// Time that matters runs on a manual clock.
#include "kelRTPStreamTestSupport.h"

#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestFlood.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

namespace {

kelOwned<kelRTPTransmitter> localTransmitter(const kelManualClock& clock)
{
    kelOwned<kelRTPTransmitter> t(kelCreate<kelRTPTransmitter>(0, false, false, kelString(u"127.0.0.1"),
                                                               kelString(u"0"), kelString(), 1));
    if (t) t->setClock(clock);
    if (t && !t->open()) t.reset();
    return t;
}

uint16_t localPort(kelRTPTransmitter& t)
{
    return portOf(t.receiver()->portLocal());
}

// An RR from `reporter` with one block about `about`, and its CNAME.
Bytes reportAbout(uint32_t reporter, uint32_t about)
{
    Bytes b(64);
    kelRTCPWriter w(b.data(), b.size());
    kelRTCPReportBlock block{};
    block.ssrc = about;
    if (!w.beginRR(reporter) || !w.addBlock(block)) return {};
    w.closePacket();
    if (!w.addSDES(reporter, "peer@near")) return {};
    b.resize(w.size());
    return b;
}

size_t nonZero(const std::vector<size_t>& counts, size_t parity)
{
    size_t n = 0;
    for (size_t i = parity; i < counts.size(); i += 2)
        n += counts[i] > 0 ? 1 : 0;
    return n;
}

TEST(kelRTPHostileTest, FloodPacketsMatchTheStacksOwnBuilders)
{
    EXPECT_EQ(kelTestFlood::reportWithCNAME(0x1234, "peer@near"), kelTestRTCPCompound(0x1234, "peer@near"));
    EXPECT_EQ(kelTestFlood::receiverReport(0x1234), kelTestRTCPRR(0x1234));
}

TEST(kelRTPHostileTest, HolesFromAThousandPortsGiveAtMostTheCapOfDestinationsAndOfRTCP)
{
    // Whatever makes a sender a destination is bounded alike: our hole
    // packets, a standard peer's media and its STUN checks.
    struct Kind
    {
        const char* name;
        std::function<Bytes(uint32_t ssrc)> make;
    };
    const std::vector<Kind> kinds = {
        {"comfort-noise hole", [](uint32_t ssrc) { return kelTestFlood::hole(ssrc, 1); }},
        {"text", [](uint32_t ssrc) { return kelTestFlood::rtp(ssrc, 1, 113, 3); }},
        {"STUN check", [](uint32_t ssrc) { return kelTestSTUNBindingRequestNumbered(ssrc); }},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        kelManualClock clock;
        auto t = localTransmitter(clock);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->maxLearntDestinations(), 16);
        kelTestFlood flood(1000, "127.0.0.2", true);
        ASSERT_TRUE(flood.ok());
        const sockaddr_in tx = kelTestLoopback(localPort(*t));

        // 50 holes a second of the clock, each from a port of its own: 4 a
        // second are learnt, never more than 16 at once.
        const intptr_t rate = t->learntDestinationsPerSecond();
        for (uint64_t second = 0; second < 20; ++second) {
            const size_t sent = flood.burst(50, [&](uint64_t n, Bytes& d, sockaddr_in& to, size_t& socket) {
                const uint64_t k = second * 50 + n;
                d = kind.make(0x70000000 + static_cast<uint32_t>(k));
                to = tx;
                socket = static_cast<size_t>(2 * k);
            });
            ASSERT_EQ(sent, 50u);
            const uint64_t refused = (second + 1) * static_cast<uint64_t>(50 - rate);
            ASSERT_TRUE(waitFor([&] { return t->holesRefused() >= refused; })) << "second " << second;
            EXPECT_LE(t->destGetCount(), 16);
            clock.advanceMs(1000);
        }
        EXPECT_EQ(t->destGetCount(), 16);

        // Reports went to the destinations of their time; from now on, one
        // packet goes out 16 times, and the next report reaches 16 RTCP ports.
        (void)flood.drain(100);
        const uint8_t text[4] = {'a', 'b', 'c', 'd'};
        EXPECT_EQ(t->transmit(4, text, sizeof text), 16 * 16);
        const uint64_t lastReport = t->rtcp()->lastReportTM();
        ASSERT_TRUE(kelTestAdvanceUntil(
            clock, [&] { return t->rtcp()->lastReportTM() != lastReport; }, 20000));
        const std::vector<size_t> counts = flood.drain(200);
        EXPECT_EQ(nonZero(counts, 0), 16u) << "RTP reaches only the learnt destinations";
        EXPECT_EQ(nonZero(counts, 1), 16u) << "RTCP to the learnt destinations, no more";
        EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), size_t(0)), 32u);
    }
}

TEST(kelRTPHostileTest, ThirdPartyNamingADestinationsSSRCDoesNotKeepItAlive)
{
    kelManualClock clock;
    auto t = localTransmitter(clock);
    ASSERT_TRUE(t);
    const uint32_t own = t->_SSRC();
    const sockaddr_in tx = kelTestLoopback(localPort(*t));
    const sockaddr_in txRTCP = kelTestLoopback(static_cast<uint16_t>(localPort(*t) + 1));
    // Two receivers that punched holes: one reports itself, the other is
    // only spoken for by a third party on 127.0.0.2 using its SSRC.
    kelTestPeer liveRTP(kelTestFreeRTPPort());
    kelTestPeer liveRTCP(static_cast<uint16_t>(liveRTP.port() + 1));
    kelTestPeer goneRTP(kelTestFreeRTPPort());
    kelTestFlood third(1);
    ASSERT_TRUE(liveRTP.ok() && liveRTCP.ok() && goneRTP.ok() && third.ok());
    constexpr uint32_t kLive = 0x11110001, kGone = 0x22220002;
    ASSERT_TRUE(liveRTP.sendTo(tx, kelTestFlood::hole(kLive, 1)));
    ASSERT_TRUE(goneRTP.sendTo(tx, kelTestFlood::hole(kGone, 1)));
    ASSERT_TRUE(waitFor([&] { return t->destGetCount() == 2; }));

    const auto heardAt = [&](uint32_t ssrc, uint64_t at) {
        rtp_site_info m;
        return t->rtcp()->session().memberCopy(ssrc, m, 100) && m.r_lastRRreceivedTM == at;
    };
    for (int round = 0; round < 12; ++round) {
        clock.advanceMs(4000);
        const uint64_t at = clock.nowMs();
        ASSERT_TRUE(liveRTCP.sendTo(txRTCP, reportAbout(kLive, own)));
        ASSERT_TRUE(third.sendFrom(0, txRTCP, reportAbout(kGone, own)));
        ASSERT_TRUE(waitFor([&] { return heardAt(kLive, at) && heardAt(kGone, at); }));
    }
    // 48 s on: the receiver that reported stays, the one vouched for by
    // another address went after 25 s.
    ASSERT_TRUE(waitFor([&] { return !t->destHas(kelTestLoopback(goneRTP.port())); }));
    EXPECT_TRUE(t->destHas(kelTestLoopback(liveRTP.port())));
}

TEST(kelRTPHostileTest, NpngFromAnUnprovedSourceIsNotAnswered)
{
    kelManualClock clock;
    auto t = localTransmitter(clock);
    ASSERT_TRUE(t);
    kelTestFlood flood(1, "127.0.0.2", true);
    ASSERT_TRUE(flood.ok());
    const uint16_t port = localPort(*t);
    Bytes npng(12);
    kelRTCPWriter w(npng.data(), npng.size());
    ASSERT_TRUE(w.addAPP(0x0BAD0001, 0, "NPNG", nullptr, 0));
    // One RTP packet (not enough to prove the source), then two NPNGs; a
    // proved source's NPNG after them is the marker that all were handled.
    ASSERT_TRUE(flood.sendFrom(0, kelTestLoopback(port), kelTestFlood::rtp(0x0BAD0001, 7, 0, 20)));
    ASSERT_TRUE(waitFor([&] { return t->rtcp()->session().isMember(0x0BAD0001); }));
    ASSERT_TRUE(flood.sendFrom(0, kelTestLoopback(port), kelTestFlood::rtp(0x0BAD0001, 9, 0, 20)));
    ASSERT_TRUE(flood.sendFrom(1, kelTestLoopback(port + 1), npng));
    ASSERT_TRUE(flood.sendFrom(1, kelTestLoopback(port + 1), npng));
    kelTestPeer proved;
    ASSERT_TRUE(proved.ok());
    for (uint16_t seq = 1; seq < 4; ++seq)
        ASSERT_TRUE(proved.sendTo(port, kelTestFlood::rtp(0x600D0001, seq, 0, 20)));
    ASSERT_TRUE(waitFor([&] {
        rtp_site_info m;
        return t->rtcp()->session().memberCopy(0x600D0001, m) && m.r_validated && m.r_remoteAddrRTPValid;
    }));
    Bytes good(12);
    kelRTCPWriter g(good.data(), good.size());
    ASSERT_TRUE(g.addAPP(0x600D0001, 0, "NPNG", nullptr, 0));
    ASSERT_TRUE(proved.sendTo(port + 1, good));
    EXPECT_FALSE(proved.receiveRTP(13, kelTestWaitMs).empty()) << "the proved source is answered";
    EXPECT_EQ(flood.drain(100)[0], 0u) << "the unproved one is not";
}

// A receiver that keeps the transmitter's packets and only counts the rest.
class StreamReceiver : public RecordingReceiver
{
public:
    using RecordingReceiver::RecordingReceiver;

    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override
    {
        if (packetSize >= kelRTPHeaderSize && rtp_hdr::read(header).ssrc() == expected.load())
            RecordingReceiver::onRTPData(from, header, payload, payloadSize, packetSize);
        else
            ++others;
    }

    std::atomic<uint32_t> expected{0};
    std::atomic<uint64_t> others{0};
};

TEST(kelRTPHostileTest, BurstOfForgedMembersLeavesTheReceiverReportingAndFed)
{
    kelManualClock clock;
    auto t = localTransmitter(clock);
    ASSERT_TRUE(t);
    kelOwned<StreamReceiver> r(kelCreate<StreamReceiver>(u"0", kelString(), false, kelString(u"127.0.0.1"),
                                                         nullptr, true, false, 1));
    ASSERT_TRUE(r);
    r->setClock(clock);
    r->expected = t->_SSRC();
    ASSERT_TRUE(r->start(10000));
    const sockaddr_in rx = kelTestLoopback(portOf(r->portLocal()));
    const sockaddr_in rxRTCP = kelTestLoopback(static_cast<uint16_t>(portOf(r->portLocal()) + 1));
    ASSERT_EQ(r->sendRTP_CN_To(kelTestLoopback(localPort(*t))), 0);
    ASSERT_TRUE(waitFor([&] { return t->destHas(rx); }));
    const uint8_t text[1] = {'x'};
    size_t sentPackets = 0;
    // Media and reports both ways until the receiver knows the transmitter.
    ASSERT_TRUE(kelTestAdvanceUntil(
        clock,
        [&] {
            sentPackets += t->transmit(1, text, 1) > 0 ? 1 : 0;
            return r->rtcp()->session().reportsTo(kelTestLoopback(localPort(*t) + 1), 20);
        },
        20000, 500));

    // 5,000 forged RRs, sent once, in batches the socket can hold.
    kelTestFlood flood(1000);
    ASSERT_TRUE(flood.ok());
    kelRTCPSession& session = r->rtcp()->session();
    for (uint64_t batch = 0; batch < 50; ++batch) {
        (void)flood.burst(100, [&](uint64_t n, Bytes& d, sockaddr_in& to, size_t& socket) {
            d = kelTestFlood::receiverReport(0x60000000 + static_cast<uint32_t>(batch * 100 + n));
            to = rxRTCP;
            socket = static_cast<size_t>(batch * 100 + n);
        });
        (void)waitFor([&] { return session.membersDropped() + 100 >= (batch + 1) * 100; }, 2000);
    }
    EXPECT_GE(session.membersDropped(), 4000u);
    EXPECT_LE(session.memberCount(), 2 + session.maxUnvalidated() + 1);

    // A minute of the clock on, the transmitter still hears the receiver
    // and the receiver still gets every packet.
    const uint64_t end = clock.nowMs() + 60000;
    while (clock.nowMs() < end) {
        sentPackets += t->transmit(1, text, 1) > 0 ? 1 : 0;
        clock.advanceMs(500);
        kelSleepMs(5);
    }
    EXPECT_TRUE(t->destHas(rx)) << "the receiver kept reporting";
    EXPECT_TRUE(waitFor([&] { return r->dataCount() == sentPackets; }));
    EXPECT_GT(sentPackets, 100u);
}

} // namespace
