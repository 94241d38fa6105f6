#include "tests/support/kelTestNet.h"
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kOwnSSRC = 0xC0FFEE01;

struct Gone
{
    uint32_t ssrc;
    bool timedOut;
};

class FakeOwner : public kelRTCPStackOwner
{
public:
    uint32_t rtcpSSRC() const noexcept override { return kOwnSSRC; }
    std::string rtcpCNAME() const override { return "tester@host"; }

    void onRTCPReport(const uint8_t* data, size_t size) override
    {
        std::lock_guard<std::mutex> g(guard);
        reports.emplace_back(data, data + size);
    }
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in&, const uint8_t*, size_t) override
    {
        std::lock_guard<std::mutex> g(guard);
        packetSSRCs.push_back(ssrc);
    }
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override
    {
        std::lock_guard<std::mutex> g(guard);
        cnames.push_back(std::to_string(ssrc) + "=" +
                         std::string(reinterpret_cast<const char*>(item.r_data.data()), item.length));
    }
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        std::lock_guard<std::mutex> g(guard);
        gone.push_back(Gone{member->r_ssrc, timedOut});
    }
    void onIdle(bool timerExpired) override { expiries += timerExpired ? 1 : 0; }

    std::mutex guard;
    std::vector<Bytes> reports;
    std::vector<uint32_t> packetSSRCs;
    std::vector<std::string> cnames;
    std::vector<Gone> gone;
    int expiries = 0;
};

// The stack with its socket replaced by a record of what it sends, its
// clock by a manual one, and its random draws fixed at the middle of their range.
class TestStack : public kelRTCPstack
{
public:
    TestStack(kelRTCPStackOwner* owner) : kelRTCPstack(owner, false)
    {
        setClock(manual);
        setRandom([](uint32_t upper) { return std::min<uint32_t>(upper, 50); });
        // No synchronised clock: the shared one would ask a public server.
        setNTPClock([](kelNTP_timestamp&) { return false; });
    }
    using kelRTCPstack::checkTimeouts;
    using kelRTCPstack::resetSession;
    using kelRTCPstack::runTimer;

    struct Sent
    {
        sockaddr_in to;
        Bytes data;
    };
    int sendTo(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept override
    {
        sent.push_back(Sent{addr ? *addr : sockaddr_in{}, Bytes(data, data + size)});
        return 0;
    }

    // Runs the 100 ms ticks until `ms` have passed.
    void advance(uint64_t ms)
    {
        for (uint64_t end = manual.nowMs() + ms; manual.nowMs() < end;) {
            manual.advanceMs(100);
            runTimer();
        }
    }

    kelManualClock manual;
    std::vector<Sent> sent;
};

Bytes rrOrBye(uint32_t ssrc, bool isBye)
{
    Bytes b(8);
    kelRTCPWriter w(b.data(), b.size());
    EXPECT_TRUE(isBye ? w.addBYE(ssrc) : w.beginRR(ssrc));
    w.closePacket();
    return b;
}

Bytes srWithCname(uint32_t ssrc, const char* cname)
{
    Bytes b(128);
    kelRTCPWriter w(b.data(), b.size());
    EXPECT_TRUE(w.beginSR(ssrc, kelNTP_timestamp{0x11223344, 0x55667788}, 1, 2, 3));
    EXPECT_TRUE(w.addSDES(ssrc, cname));
    b.resize(w.size());
    return b;
}

Bytes app(uint32_t ssrc, uint8_t subtype, const char* name, const kelRTTPayload& rtt)
{
    uint8_t data[kelRTTPayloadSize];
    rtt.write(data);
    Bytes b(32);
    kelRTCPWriter w(b.data(), b.size());
    EXPECT_TRUE(w.addAPP(ssrc, subtype, name, data, sizeof data));
    return b;
}

rtp_hdr rtpHeader(uint32_t ssrc, uint16_t seq)
{
    rtp_hdr h;
    h.setSeq(seq);
    h.setSsrc(ssrc);
    return h;
}

class kelRTCPStackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stack.reset(kelCreate<TestStack>(&owner));
        ASSERT_TRUE(stack);
        stack->resetSession();
    }

    void feed(const Bytes& b, uint16_t port = 6001)
    {
        stack->processRTCP(kelTestLoopback(port), b.data(), b.size());
    }

    // A member that sends RTP from 127.0.0.1:port-1 and RTCP from port.
    void hearRTP(uint32_t ssrc, uint16_t seq, uint16_t port = 6001)
    {
        const rtp_hdr h = rtpHeader(ssrc, seq);
        stack->processRTP(kelTestLoopback(static_cast<uint16_t>(port - 1)), h, 172);
        (void)stack->updateSeq(ssrc, seq);
    }

    bool isMember(uint32_t ssrc)
    {
        rtp_site_info* m = stack->memberBySSRCAcq(ssrc, true, 100);
        kelRTCPstack::memberReleaseRO(m);
        return m != nullptr;
    }

    FakeOwner owner;
    kelOwned<TestStack> stack;
};

TEST_F(kelRTCPStackTest, RtcpMakesMembersKnownAndOwnPacketsAreIgnored)
{
    feed(rrOrBye(0x1111, false));
    feed(srWithCname(0x2222, "peer@far"), 6003);
    feed(rrOrBye(kOwnSSRC, false));
    EXPECT_EQ(stack->memberCount(), 3);
    EXPECT_EQ(owner.packetSSRCs, (std::vector<uint32_t>{0x1111, 0x2222}));
    EXPECT_EQ(owner.cnames, (std::vector<std::string>{std::to_string(0x2222) + "=peer@far"}));

    rtp_site_info* m = stack->memberBySSRCAcq(0x2222, true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->r_remoteAddrRTCPValid);
    EXPECT_EQ(ntohs(m->r_remoteAddrRTCP.sin_port), 6003);
    EXPECT_EQ(m->r_lastSRreceived, 0x33445566u);
    EXPECT_EQ(m->r_lastSRreceivedTM, stack->manual.nowMs());
    ASSERT_TRUE(m->r_cname);
    EXPECT_EQ(m->r_cname->length, 8);
    kelRTCPstack::memberReleaseRO(m);

    // A known RTCP address stays; the member is found by it.
    feed(rrOrBye(0x2222, false), 7000);
    const sockaddr_in byAddr = kelTestLoopback(6003);
    m = stack->memberByAddrAcq(false, byAddr, true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->r_ssrc, 0x2222u);
    kelRTCPstack::memberReleaseRO(m);
    EXPECT_EQ(stack->memberBySSRCAcq(0x9999, true, 100), nullptr);
}

TEST_F(kelRTCPStackTest, ByeIsReportedOnceAndUnknownByeIsIgnored)
{
    feed(rrOrBye(0x1111, false));
    feed(rrOrBye(0x1111, true));
    feed(rrOrBye(0x1111, true));
    feed(rrOrBye(0x5555, true));
    ASSERT_EQ(owner.gone.size(), 1u);
    EXPECT_EQ(owner.gone[0].ssrc, 0x1111u);
    EXPECT_FALSE(owner.gone[0].timedOut);
    EXPECT_EQ(stack->memberCount(), 2);
    // Marked, reported, so the next check removes it.
    stack->checkTimeouts(0);
    EXPECT_EQ(stack->memberCount(), 1);
}

TEST_F(kelRTCPStackTest, SequenceCheckThroughTheStack)
{
    EXPECT_FALSE(stack->updateSeq(kOwnSSRC, 1));
    // A member known from RTCP alone starts afresh with its first RTP packet.
    feed(rrOrBye(0x1111, false));
    EXPECT_TRUE(stack->updateSeq(0x1111, 40000));
    EXPECT_TRUE(stack->updateSeq(0x1111, 40001));
    for (uint16_t s = 40002; s < 40100; ++s)
        ASSERT_TRUE(stack->updateSeq(0x1111, s));
    EXPECT_FALSE(stack->updateSeq(0x1111, 40049)) << "50 behind";
    // An unknown source is created by its first packet, which is delivered.
    EXPECT_TRUE(stack->updateSeq(0x3333, 7));
    EXPECT_EQ(stack->memberCount(), 3);
    rtp_site_info* m = stack->memberBySSRCAcq(0x1111, true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->r_received, 99u);
    kelRTCPstack::memberReleaseRO(m);
}

TEST_F(kelRTCPStackTest, ReceiverReportGoesToMembersAndOwner)
{
    feed(rrOrBye(0x1111, false));
    for (uint16_t s = 10; s < 20; ++s)
        if (s != 15) hearRTP(0x1111, s);
    ASSERT_TRUE(stack->report(false));
    ASSERT_EQ(stack->sent.size(), 1u);
    EXPECT_EQ(ntohs(stack->sent[0].to.sin_port), 6001);
    ASSERT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.reports[0], stack->sent[0].data);
    EXPECT_FALSE(stack->initial());

    const Bytes& d = stack->sent[0].data;
    kelRTCPReader r(d.data(), d.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_EQ(v.ssrc, kOwnSSRC);
    ASSERT_EQ(v.blockCount, 1u);
    const kelRTCPReportBlock b = v.block(0);
    EXPECT_EQ(b.ssrc, 0x1111u);
    EXPECT_EQ(b.extendedHighestSeq, 19u);
    EXPECT_EQ(b.cumulativeLost, 1u);
    EXPECT_EQ(b.jitter, 241u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.cname), v.cnameLength), "tester@host");
    EXPECT_FALSE(r.next(v));
    // Not heard since: no block in the next report.
    ASSERT_TRUE(stack->report(false));
    kelRTCPReader r2(stack->sent[1].data.data(), stack->sent[1].data.size());
    ASSERT_TRUE(r2.next(v));
    EXPECT_EQ(v.blockCount, 0u);
}

TEST_F(kelRTCPStackTest, SenderReportCarriesSentCountsAndLastTimestamp)
{
    stack->setNTPClock([](kelNTP_timestamp& ntp) {
        ntp = kelNTP_timestamp{0xE0000001, 0x80000000};
        return true;
    });
    rtp_hdr h = rtpHeader(kOwnSSRC, 1);
    h.setTimestamp(0xAABBCCDD);
    stack->onRTPSent(h, 160);
    stack->onRTPSent(h, 0); // an empty packet is not counted
    h.setTimestamp(0xAABBCD7D);
    stack->onRTPSent(h, 100);
    EXPECT_EQ(stack->weSent(), 3);
    EXPECT_EQ(stack->senders(), 1);
    ASSERT_TRUE(stack->report(false));
    const Bytes& d = owner.reports.at(0);
    ASSERT_GE(d.size(), 28u);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 28),
              (Bytes{0x80, 200, 0,    6,    0xC0, 0xFF, 0xEE, 0x01, 0xE0, 0, 0, 1, 0x80, 0,
                     0,    0,   0xAA, 0xBB, 0xCD, 0x7D, 0,    0,    0,    2, 0, 0, 1,    4}));
}

TEST_F(kelRTCPStackTest, FortyMembersSpillIntoASecondReceiverReport)
{
    for (uint32_t i = 0; i < 40; ++i) {
        const uint16_t port = static_cast<uint16_t>(7001 + 2 * i);
        feed(rrOrBye(0x100 + i, false), port);
        hearRTP(0x100 + i, 1, port);
    }
    ASSERT_TRUE(stack->report(false));
    EXPECT_EQ(stack->sent.size(), 40u);
    const Bytes& d = owner.reports.at(0);
    EXPECT_LT(d.size(), 1450u);
    kelRTCPReader r(d.data(), d.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_EQ(v.blockCount, 31u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_EQ(v.blockCount, 9u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);
    EXPECT_FALSE(r.next(v));
}

TEST_F(kelRTCPStackTest, SilentMemberTimesOutAndIsRemovedTwoReportsLater)
{
    feed(rrOrBye(0x1111, false));
    feed(rrOrBye(0x2222, false), 6003);
    // 0x2222 keeps sending RTP; 0x1111 falls silent after its RR.
    const uint64_t lastRR = stack->manual.nowMs();
    uint16_t seq = 1;
    int reportsSeen = 0;
    uint64_t goneAt = 0;
    uint64_t tnWhenGone = 0;
    size_t reportsAtGone = 0;
    while (stack->manual.nowMs() < lastRR + 600000 && isMember(0x1111)) {
        const uint64_t tn = stack->nextCheckIn();
        hearRTP(0x2222, seq++, 6003);
        stack->advance(100);
        reportsSeen = static_cast<int>(owner.reports.size());
        if (goneAt == 0 && !owner.gone.empty()) {
            goneAt = stack->manual.nowMs();
            tnWhenGone = tn;
            reportsAtGone = owner.reports.size();
        }
    }
    ASSERT_EQ(owner.gone.size(), 1u);
    EXPECT_EQ(owner.gone[0].ssrc, 0x1111u);
    EXPECT_TRUE(owner.gone[0].timedOut);
    // Gone at the first report with the RR more than 6 intervals old.
    EXPECT_GT(goneAt - lastRR, 6 * tnWhenGone);
    EXPECT_LT(goneAt - lastRR, 8 * tnWhenGone);
    // Removed two reports later; the RTP sender stays.
    EXPECT_EQ(static_cast<size_t>(reportsSeen), reportsAtGone + 2);
    EXPECT_EQ(stack->memberCount(), 2);
    rtp_site_info* keeper = stack->memberBySSRCAcq(0x2222, true, 10);
    ASSERT_NE(keeper, nullptr);
    EXPECT_FALSE(keeper->r_timedout);
    kelRTCPstack::memberReleaseRO(keeper);
}

TEST_F(kelRTCPStackTest, FirstReportComesAfterTheInitialInterval)
{
    // With the middle draw the initial interval is 2500 / 1.21828 ms.
    EXPECT_EQ(stack->nextCheckIn(), 2052u);
    stack->advance(2000);
    EXPECT_TRUE(owner.reports.empty());
    stack->advance(200);
    EXPECT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.expiries, 1);
    // Now the minimum is 5000 ms.
    EXPECT_EQ(stack->lastInterval().Tmin, 5000);
    stack->advance(4000);
    EXPECT_EQ(owner.reports.size(), 1u);
    stack->advance(1000);
    EXPECT_EQ(owner.reports.size(), 2u);
}

TEST_F(kelRTCPStackTest, RoundTripProbeAndEcho)
{
    feed(rrOrBye(0x1111, false));
    stack->advance(2200); // first report, then the probe
    const auto isProbe = [](const TestStack::Sent& s) {
        kelRTCPReader r(s.data.data(), s.data.size());
        kelRTCPPacketView v;
        return r.next(v) && v.isApp("_RTT") && v.count == kelRTTProbe;
    };
    const auto it = std::find_if(stack->sent.begin(), stack->sent.end(), isProbe);
    ASSERT_NE(it, stack->sent.end());
    EXPECT_EQ(ntohs(it->to.sin_port), 6001);
    const kelRTTPayload probe = kelRTTPayload::read(it->data.data() + 12);
    EXPECT_EQ(probe.proberSSRC, kOwnSSRC);
    EXPECT_EQ(probe.probedSSRC, 0x1111u);
    EXPECT_GE(probe.timeMark, 1002000u);

    // The peer echoes it 30 ms later.
    stack->manual.setMs(probe.timeMark + 30);
    feed(app(0x1111, kelRTTEcho, "_RTT", probe));
    rtp_site_info* m = stack->memberBySSRCAcq(0x1111, true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->r_rtt, 30u);
    kelRTCPstack::memberReleaseRO(m);

    // A peer's probe of us is echoed unchanged.
    kelRTTPayload theirs;
    theirs.timeMark = 42;
    theirs.magic = 7;
    theirs.proberSSRC = 0x1111;
    theirs.probedSSRC = kOwnSSRC;
    stack->sent.clear();
    feed(app(0x1111, kelRTTProbe, "_RTT", theirs));
    ASSERT_EQ(stack->sent.size(), 1u);
    Bytes expected = app(kOwnSSRC, kelRTTEcho, "_RTT", theirs);
    EXPECT_EQ(stack->sent[0].data, expected);
}

TEST_F(kelRTCPStackTest, ByeOnlyAfterSomethingWasSent)
{
    EXPECT_FALSE(stack->report(true));
    EXPECT_TRUE(stack->sent.empty());
    EXPECT_TRUE(owner.reports.empty());
    ASSERT_TRUE(stack->report(false));
    ASSERT_TRUE(stack->report(true));
    EXPECT_EQ(owner.reports.back(), rrOrBye(kOwnSSRC, true));
}

TEST_F(kelRTCPStackTest, AppWithoutAddressSendsNothing)
{
    sockaddr_in none{};
    EXPECT_EQ(stack->sendAPPto(none, 0, "HELO", nullptr, 0, true), 0);
    EXPECT_TRUE(stack->sent.empty());
    EXPECT_EQ(stack->sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0, true), 0);
    ASSERT_EQ(stack->sent.size(), 2u);
    EXPECT_EQ(stack->sent[0].data.size(), rtcpSDESSize(11));
    EXPECT_EQ(stack->sent[1].data, (Bytes{0x80, 204, 0, 2, 0xC0, 0xFF, 0xEE, 0x01, 'H', 'E', 'L', 'O'}));
}

} // namespace
