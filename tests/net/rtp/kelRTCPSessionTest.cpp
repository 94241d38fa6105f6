// The RTCP session alone: no socket, no thread, a manual clock and fixed
// random draws. What it would send is recorded by the test output.
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"
#include "net/rtp/kelRTCPSession.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = kelTestBytes;
constexpr uint32_t kOwnSSRC = 0xC0FFEE01;

class kelRTCPSessionTest : public ::testing::Test
{
protected:
    kelRTCPSessionTest() : session(&owner, &output)
    {
        session.setClock(clock);
        // The middle of the range unless a test chooses.
        session.setRandom([this](uint32_t upper) { return std::min<uint32_t>(upper, draw); });
        session.reset();
    }

    void feed(const Bytes& b, uint16_t port = 6001)
    {
        ASSERT_FALSE(b.empty());
        session.processRTCP(kelTestLoopback(port), b.data(), b.size());
    }

    // A member that sends RTP from 127.0.0.1:port-1 and RTCP from port.
    void hearRTP(uint32_t ssrc, uint16_t seq, uint16_t port = 6001)
    {
        rtp_hdr h;
        h.setSeq(seq);
        h.setSsrc(ssrc);
        session.processRTP(kelTestLoopback(static_cast<uint16_t>(port - 1)), h, 172);
        (void)session.updateSeq(ssrc, seq);
    }

    // The 100 ms ticks until `ms` have passed.
    void advance(uint64_t ms)
    {
        for (uint64_t end = clock.nowMs() + ms; clock.nowMs() < end;) {
            clock.advanceMs(100);
            (void)session.tick();
        }
    }

    const Bytes& lastSent() { return output.sent.back().data; }

    kelManualClock clock;
    uint32_t draw = 50;
    kelTestRTCPOwner owner{kOwnSSRC};
    kelTestRTCPOutput output;
    kelRTCPSession session;
};

// --- members and queries -------------------------------------------------------

TEST_F(kelRTCPSessionTest, RtcpMakesMembersKnownAndOwnPacketsAreIgnored)
{
    feed(kelTestRTCPRR(0x1111));
    feed(kelTestRTCPSRWithCname(0x2222, "peer@far"), 6003);
    feed(kelTestRTCPRR(kOwnSSRC));
    EXPECT_EQ(session.memberCount(), 3);
    EXPECT_FALSE(session.isMember(kOwnSSRC));
    EXPECT_EQ(owner.packetSSRCs, (std::vector<uint32_t>{0x1111, 0x2222}));
    EXPECT_EQ(owner.cnames, (std::vector<std::string>{std::to_string(0x2222) + "=peer@far"}));

    rtp_site_info m;
    ASSERT_TRUE(session.memberCopy(0x2222, m));
    EXPECT_TRUE(m.r_remoteAddrRTCPValid);
    EXPECT_EQ(ntohs(m.r_remoteAddrRTCP.sin_port), 6003);
    EXPECT_EQ(m.r_lastSRreceived, 0x33445566u);
    EXPECT_EQ(m.r_lastSRreceivedTM, clock.nowMs());
    ASSERT_TRUE(m.r_cname);
    EXPECT_EQ(m.r_cname->length, 8);

    // A known RTCP address stays; the member is found by it, and by a port
    // of 0, but not by its RTP address, which it has not used yet.
    feed(kelTestRTCPRR(0x2222), 7000);
    rtp_site_info byAddr;
    ASSERT_TRUE(session.memberCopyByAddr(false, kelTestLoopback(6003), byAddr));
    EXPECT_EQ(byAddr.r_ssrc, 0x2222u);
    EXPECT_TRUE(session.hasMemberAt(false, kelTestLoopback(0)));
    EXPECT_FALSE(session.hasMemberAt(false, kelTestLoopback(7000)));
    EXPECT_FALSE(session.hasMemberAt(true, kelTestLoopback(6002)));
    EXPECT_FALSE(session.memberCopy(0x9999, m));

    EXPECT_TRUE(session.isFirstMember(0x1111));
    EXPECT_FALSE(session.isFirstMember(0x2222));
    session.clearMembers();
    EXPECT_EQ(session.memberCount(), 1);
    EXPECT_FALSE(session.isFirstMember(0x1111));
}

TEST_F(kelRTCPSessionTest, CopyOfMembersNamesThoseBusyElsewhere)
{
    feed(kelTestRTCPRR(0x1111));
    feed(kelTestRTCPRR(0x2222), 6003);
    // Another thread holds 0x2222 for writing until told to let go.
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    bool letGo = false;
    std::thread holder([&] {
        rtp_site_info* member = session.memberBySSRCAcq(0x2222, false, 1000);
        {
            std::lock_guard<std::mutex> g(m);
            held = member != nullptr;
        }
        cv.notify_all();
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return letGo; });
        kelRTCPSession::memberReleaseWO(member);
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return held; }));
    }
    std::vector<rtp_site_info> copies;
    std::vector<uint32_t> busy;
    const bool read = session.copyMembers(copies, &busy, 100, 20);
    {
        std::lock_guard<std::mutex> g(m);
        letGo = true;
    }
    cv.notify_all();
    holder.join();
    ASSERT_TRUE(read);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].r_ssrc, 0x1111u);
    EXPECT_EQ(busy, (std::vector<uint32_t>{0x2222}));

    copies.clear();
    busy.clear();
    ASSERT_TRUE(session.copyMembers(copies, &busy));
    EXPECT_EQ(copies.size(), 2u);
    EXPECT_TRUE(busy.empty());
}

TEST_F(kelRTCPSessionTest, ByeIsReportedOnceAndUnknownByeIsIgnored)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    feed(kelTestRTCPBye(0x1111));
    feed(kelTestRTCPBye(0x1111));
    feed(kelTestRTCPBye(0x5555));
    ASSERT_EQ(owner.gone.size(), 1u);
    EXPECT_EQ(owner.gone[0].ssrc, 0x1111u);
    EXPECT_FALSE(owner.gone[0].timedOut);
    EXPECT_EQ(session.memberCount(), 2);
    // Marked, reported, so the next check removes it.
    session.checkTimeouts(0);
    EXPECT_EQ(session.memberCount(), 1);
    EXPECT_EQ(owner.gone.size(), 1u);
}

TEST_F(kelRTCPSessionTest, ByeListingSeveralSourcesEndsEachOfThem)
{
    feed(kelTestRTCPCompound(0x1111, "a@near"));
    feed(kelTestRTCPCompound(0x2222, "b@near"), 6003);
    feed(kelTestRTCPCompound(0x3333, "c@near"), 6005);
    // Our own SSRC in the list and one never heard of are passed over.
    feed(kelTestRTCPCompound(0x1111, "a@near", kelTestRTCPByeOf({0x1111, kOwnSSRC, 0x5555, 0x3333})));
    ASSERT_EQ(owner.gone.size(), 2u);
    EXPECT_EQ(owner.gone[0].ssrc, 0x1111u);
    EXPECT_EQ(owner.gone[1].ssrc, 0x3333u);
    session.checkTimeouts(0);
    EXPECT_EQ(session.memberCount(), 2) << "0x2222 and this side stay";
    EXPECT_TRUE(session.isMember(0x2222));
}

TEST_F(kelRTCPSessionTest, SequenceCheck)
{
    EXPECT_FALSE(session.updateSeq(kOwnSSRC, 1));
    // A member known from RTCP alone starts afresh with its first RTP packet.
    feed(kelTestRTCPRR(0x1111));
    EXPECT_TRUE(session.updateSeq(0x1111, 40000));
    EXPECT_TRUE(session.updateSeq(0x1111, 40001));
    for (uint16_t s = 40002; s < 40100; ++s)
        ASSERT_TRUE(session.updateSeq(0x1111, s));
    EXPECT_FALSE(session.updateSeq(0x1111, 40049)) << "50 behind";
    // An unknown source is created by its first packet, which is delivered.
    EXPECT_TRUE(session.updateSeq(0x3333, 7));
    EXPECT_EQ(session.memberCount(), 3);
    rtp_site_info m;
    ASSERT_TRUE(session.memberCopy(0x1111, m));
    EXPECT_EQ(m.r_received, 100u) << "the late packet arrived: counted, though not delivered";

    // In a conference the first member (the peer) is taken as it comes.
    session.setConferenceMode(true);
    EXPECT_TRUE(session.updateSeq(0x1111, 40049));
    EXPECT_TRUE(session.updateSeq(0x3333, 8));
    EXPECT_FALSE(session.updateSeq(0x3333, static_cast<uint16_t>(8 - 50))) << "others are still checked";
}

TEST_F(kelRTCPSessionTest, SequenceNumbersCountUpFromARandomStart)
{
    draw = 65535;
    session.reset();
    EXPECT_EQ(session.seqNum(), 65535);
    EXPECT_EQ(session.nextSeq(), 0);
    EXPECT_EQ(session.nextSeq(), 1);
}

// --- reports on the wire ----------------------------------------------------------

TEST_F(kelRTCPSessionTest, ReceiverReportBytesGoToMembersAndOwner)
{
    feed(kelTestRTCPRR(0x1111));
    for (uint16_t s = 10; s < 20; ++s)
        if (s != 15) hearRTP(0x1111, s);
    ASSERT_TRUE(session.report(false));
    ASSERT_EQ(output.sent.size(), 1u);
    EXPECT_FALSE(output.sent[0].toGroup);
    EXPECT_EQ(ntohs(output.sent[0].to.sin_port), 6001);
    EXPECT_EQ(output.sent[0].data, kelTestGoldenReceiverReport);
    ASSERT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.reports[0], kelTestGoldenReceiverReport);
    EXPECT_FALSE(session.initial());
    // The average compound size moved towards this one: 100 × 15/16 + 56/16.
    EXPECT_EQ(session.avgRtcpSize(), 96);

    // Not heard since: no block in the next report.
    ASSERT_TRUE(session.report(false));
    kelRTCPReader r(lastSent().data(), lastSent().size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_EQ(v.blockCount, 0u);
}

TEST_F(kelRTCPSessionTest, GoldenReceiverReportParses)
{
    const Bytes& d = kelTestGoldenReceiverReport;
    kelRTCPReader r(d.data(), d.size());
    kelRTCPPacketView v;
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_RR);
    EXPECT_EQ(v.ssrc, kOwnSSRC);
    ASSERT_EQ(v.blockCount, 1u);
    const kelRTCPReportBlock b = v.block(0);
    EXPECT_EQ(b.ssrc, 0x1111u);
    EXPECT_EQ(b.fractionLost, 28);
    EXPECT_EQ(b.cumulativeLost, 1u);
    EXPECT_EQ(b.extendedHighestSeq, 19u);
    EXPECT_EQ(b.jitter, 0u);
    ASSERT_TRUE(r.next(v));
    EXPECT_EQ(v.type, kelrtcp_SDES);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v.cname), v.cnameLength), "tester@host");
    EXPECT_FALSE(r.next(v));

    // Fed to another session, it makes its sender a member.
    kelTestRTCPOwner otherOwner(0x1111);
    kelRTCPSession other(&otherOwner, nullptr);
    other.processRTCP(kelTestLoopback(5005), d.data(), d.size());
    EXPECT_TRUE(other.isMember(kOwnSSRC));
    EXPECT_EQ(otherOwner.cnames, (std::vector<std::string>{std::to_string(kOwnSSRC) + "=tester@host"}));
}

TEST_F(kelRTCPSessionTest, SenderReportCarriesSentCountsAndLastTimestamp)
{
    session.setNTPClock([](kelNTP_timestamp& ntp) {
        ntp = kelNTP_timestamp{0xE0000001, 0x80000000};
        return true;
    });
    rtp_hdr h;
    h.setSsrc(kOwnSSRC);
    h.setTimestamp(0xAABBCCDD);
    session.onRTPSent(h, 160);
    session.onRTPSent(h, 0); // an empty packet is not counted
    h.setTimestamp(0xAABBCD7D);
    session.onRTPSent(h, 100);
    EXPECT_EQ(session.weSent(), 3);
    EXPECT_EQ(session.senders(), 1);
    ASSERT_TRUE(session.report(false));
    const Bytes& d = owner.reports.at(0);
    ASSERT_GE(d.size(), 28u);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 28),
              (Bytes{0x80, 200, 0,    6,    0xC0, 0xFF, 0xEE, 0x01, 0xE0, 0, 0, 1, 0x80, 0,
                     0,    0,   0xAA, 0xBB, 0xCD, 0x7D, 0,    0,    0,    2, 0, 0, 1,    4}));
    // Without a synchronised clock the NTP stamp is zero.
    session.setNTPClock([](kelNTP_timestamp&) { return false; });
    ASSERT_TRUE(session.report(false));
    EXPECT_EQ(Bytes(owner.reports.at(1).begin() + 8, owner.reports.at(1).begin() + 16), Bytes(8, 0));
}

TEST_F(kelRTCPSessionTest, SenderReportTimestampIsTheRtpTimeOfItsOwnInstant)
{
    session.setNTPClock([](kelNTP_timestamp& ntp) {
        ntp = kelNTP_timestamp{0xE0000001, 0};
        return true;
    });
    const auto reportedTimestamp = [this] {
        EXPECT_TRUE(session.report(false));
        const Bytes& d = owner.reports.back();
        return d.size() >= 20 ? uint32_t(d[16]) << 24 | uint32_t(d[17]) << 16 | uint32_t(d[18]) << 8 | d[19]
                              : 0u;
    };
    rtp_hdr h;
    h.setSsrc(kOwnSSRC);
    h.setTimestamp(0xFFFFFF00); // wraps while extrapolated
    session.onRTPSent(h, 160, 8000);
    EXPECT_EQ(reportedTimestamp(), 0xFFFFFF00u) << "no time has passed";
    // 2.5 s of pause at 8 kHz: 20000 ticks on, modulo 2^32.
    clock.advanceMs(2500);
    EXPECT_EQ(reportedTimestamp(), 0xFFFFFF00u + 20000u);
    // Sub-millisecond time counts too: 1.125 ms more at 8 kHz is 9 ticks.
    clock.advanceUs(1125);
    EXPECT_EQ(reportedTimestamp(), 0xFFFFFF00u + 20009u);
    // A new packet restarts the extrapolation from its own timestamp, at its
    // own rate.
    h.setTimestamp(1000);
    session.onRTPSent(h, 160, 90000);
    clock.advanceMs(10);
    EXPECT_EQ(reportedTimestamp(), 1900u);
    // An unknown rate leaves the timestamp as it was sent.
    session.onRTPSent(h, 160);
    clock.advanceMs(500);
    EXPECT_EQ(reportedTimestamp(), 1000u);
}

TEST_F(kelRTCPSessionTest, ReportBlockJitterFollowsArrivalSpacing)
{
    // Packets of 20 ms of 8 kHz audio (160 ticks). The member must be
    // reportable: an RR from its RTCP port first.
    feed(kelTestRTCPRR(0x1111));
    const auto hear = [this](uint16_t seq, uint32_t timestamp) {
        rtp_hdr h;
        h.setSeq(seq);
        h.setSsrc(0x1111);
        h.setMarkerPT(false, 0);
        h.setTimestamp(timestamp);
        session.processRTP(kelTestLoopback(6000), h, 172);
        (void)session.updateSeq(h);
    };
    const auto reportedJitter = [this] {
        EXPECT_TRUE(session.report(false));
        const std::vector<kelTestRTCPPart> parts = kelTestSplitCompound(owner.reports.back());
        if (parts.empty() || parts[0].bytes.size() < 8 + 24) return ~0u;
        const uint8_t* b = parts[0].bytes.data() + 8 + 12;
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    };
    // Perfectly paced: no jitter, across the end of probation too.
    uint16_t seq = 100;
    uint32_t ts = 5000;
    for (int i = 0; i < 20; ++i, ts += 160) {
        hear(seq++, ts);
        clock.advanceMs(20);
    }
    EXPECT_EQ(reportedJitter(), 0u);
    // Every other packet 10 ms late, the next on time: |D| = 80 ticks each
    // time, and J converges on 80 from below.
    for (int i = 0; i < 200; ++i, ts += 160) {
        clock.advanceMs(i % 2 ? 10 : 0);
        hear(seq++, ts);
        clock.advanceMs(i % 2 ? 10 : 20);
    }
    const uint32_t j = reportedJitter();
    EXPECT_GE(j, 78u);
    EXPECT_LE(j, 80u);
    // A packet of a payload type whose clock is unknown moves nothing.
    rtp_hdr h;
    h.setSeq(seq++);
    h.setSsrc(0x1111);
    h.setMarkerPT(false, 96);
    h.setTimestamp(ts + 999999);
    session.processRTP(kelTestLoopback(6000), h, 172);
    (void)session.updateSeq(h);
    EXPECT_EQ(reportedJitter(), j);
}

TEST_F(kelRTCPSessionTest, ReportsStayWithinHalfAndOneAndAHalfCompensatedIntervals)
{
    // Random draws over the whole range: each gap between reports must lie
    // in [0.5, 1.5] × 5000 / 1.21828 ms, give or take the 100 ms tick.
    uint32_t state = 12345;
    session.setRandom([&state](uint32_t upper) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % (upper + 1);
    });
    advance(3200); // the first report, after the shorter initial interval
    ASSERT_EQ(owner.reports.size(), 1u);
    uint64_t last = session.lastReportTM();
    std::vector<uint64_t> gaps;
    while (gaps.size() < 60) {
        const size_t before = owner.reports.size();
        advance(100);
        if (owner.reports.size() == before) continue;
        gaps.push_back(session.lastReportTM() - last);
        last = session.lastReportTM();
    }
    const uint64_t lo = 5000 * 50 / 100 * 100000 / 121828;
    const uint64_t hi = 5000 * 150 / 100 * 100000 / 121828 + 100;
    for (uint64_t g : gaps) {
        EXPECT_GE(g, lo);
        EXPECT_LE(g, hi);
    }
    // And they spread: not all the same.
    EXPECT_NE(*std::min_element(gaps.begin(), gaps.end()), *std::max_element(gaps.begin(), gaps.end()));
}

TEST_F(kelRTCPSessionTest, FortyMembersSpillIntoASecondReceiverReport)
{
    for (uint32_t i = 0; i < 40; ++i) {
        const uint16_t port = static_cast<uint16_t>(7001 + 2 * i);
        feed(kelTestRTCPCompound(0x100 + i, "peer@near"), port);
        hearRTP(0x100 + i, 1, port);
    }
    ASSERT_TRUE(session.report(false));
    EXPECT_EQ(output.sent.size(), 40u);
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

TEST_F(kelRTCPSessionTest, MulticastReportsOnceToTheGroupAndConferenceOnlyToThePeer)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    feed(kelTestRTCPCompound(0x2222, "peer@near"), 6003);
    owner.transport = kelrtcp_multicast;
    ASSERT_TRUE(session.report(false));
    ASSERT_EQ(output.sent.size(), 1u);
    EXPECT_TRUE(output.sent[0].toGroup);
    EXPECT_TRUE(owner.reports.empty());

    owner.transport = kelrtcp_udp;
    session.setConferenceMode(true);
    output.sent.clear();
    ASSERT_TRUE(session.report(false));
    ASSERT_EQ(output.sent.size(), 1u);
    EXPECT_EQ(ntohs(output.sent[0].to.sin_port), 6001);
    EXPECT_TRUE(owner.reports.empty());
    // Nobody took it: not sent.
    output.result = 10065;
    EXPECT_FALSE(session.report(false));
}

TEST_F(kelRTCPSessionTest, TcpSendsEachReportOnceDownItsConnection)
{
    owner.transport = kelrtcp_tcp;
    // Before anyone is heard: once, still not through the owner's
    // destinations, which share the connection.
    ASSERT_TRUE(session.report(false));
    ASSERT_EQ(output.sent.size(), 1u);
    EXPECT_TRUE(owner.reports.empty());

    for (uint32_t ssrc : {0x1111u, 0x2222u, 0x3333u})
        feed(kelTestRTCPCompound(ssrc, "peer@near"));
    for (bool bye : {false, true}) {
        output.sent.clear();
        ASSERT_TRUE(session.report(bye));
        ASSERT_EQ(output.sent.size(), 1u) << (bye ? "BYE" : "report") << " to three members of one peer";
        EXPECT_EQ(ntohs(output.sent[0].to.sin_port), 6001);
        EXPECT_TRUE(owner.reports.empty());
    }
    output.result = 10054; // the connection was reset
    EXPECT_FALSE(session.report(false));
}

TEST_F(kelRTCPSessionTest, ByeOnlyAfterSomethingWasSent)
{
    EXPECT_FALSE(session.report(true));
    EXPECT_TRUE(output.sent.empty());
    EXPECT_TRUE(owner.reports.empty());
    ASSERT_TRUE(session.report(false));
    ASSERT_TRUE(session.report(true));
    // The goodbye travels in a compound led by an empty RR, with the CNAME.
    EXPECT_EQ(owner.reports.back(),
              kelTestRTCPCompound(kOwnSSRC, "tester@host", Bytes{0x81, 203, 0, 1, 0xC0, 0xFF, 0xEE, 0x01}));

    // Having sent RTP is enough, before any report.
    kelRTCPSession sender(&owner, &output);
    rtp_hdr h;
    sender.onRTPSent(h, 10);
    EXPECT_TRUE(sender.report(true));
}

// --- the scheduler ------------------------------------------------------------------

TEST_F(kelRTCPSessionTest, FirstReportComesAfterTheInitialInterval)
{
    // With the middle draw the initial interval is 2500 / 1.21828 ms.
    EXPECT_EQ(session.nextCheckIn(), 2052u);
    advance(2000);
    EXPECT_TRUE(owner.reports.empty());
    advance(200);
    EXPECT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.expiries, 1);
    // Now the minimum is 5000 ms.
    EXPECT_EQ(session.lastInterval().Tmin, 5000);
    advance(4000);
    EXPECT_EQ(owner.reports.size(), 1u);
    advance(1000);
    EXPECT_EQ(owner.reports.size(), 2u);
}

TEST_F(kelRTCPSessionTest, TimerReconsiderationPostponesAReportThatIsNotYetDue)
{
    // Short draws: the first check after 2500 × 0.5 / 1.21828 ms, the next
    // after 5000 × 0.5 / 1.21828 ms.
    draw = 0;
    session.reset();
    EXPECT_EQ(session.nextCheckIn(), 1026u);
    advance(1100);
    ASSERT_EQ(owner.reports.size(), 1u);
    const uint64_t reportedAt = session.lastReportTM();
    EXPECT_EQ(reportedAt, clock.nowMs());
    EXPECT_EQ(session.nextCheckIn(), 2052u);

    // At that check a long draw makes the interval 5000 × 1.49 / 1.21828
    // ms: the report is not due yet and the next check waits for it.
    draw = 99;
    // The interval counts from the last report, so the timer is set to the
    // rest of it, 6115 - 2100 ms, not to a whole interval more.
    advance(2100);
    EXPECT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.expiries, 2);
    EXPECT_EQ(session.nextCheckIn(), 4015u);
    EXPECT_EQ(session.lastReportTM(), reportedAt);
    advance(4000);
    EXPECT_EQ(owner.reports.size(), 1u);
    advance(100);
    ASSERT_EQ(owner.reports.size(), 2u);
    EXPECT_EQ(session.lastReportTM(), reportedAt + 6200);
}

// --- time-outs -----------------------------------------------------------------------

TEST_F(kelRTCPSessionTest, SilentMemberTimesOutAndIsRemovedTwoReportsLater)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    feed(kelTestRTCPCompound(0x2222, "peer@near"), 6003);
    // 0x2222 keeps sending RTP; 0x1111 falls silent after its RR.
    const uint64_t lastRR = clock.nowMs();
    uint16_t seq = 1;
    size_t reportsSeen = 0;
    uint64_t goneAt = 0;
    uint64_t tnWhenGone = 0;
    size_t reportsAtGone = 0;
    while (clock.nowMs() < lastRR + 600000 && session.isMember(0x1111)) {
        const uint64_t tn = session.nextCheckIn();
        hearRTP(0x2222, seq++, 6003);
        advance(100);
        reportsSeen = owner.reports.size();
        if (goneAt == 0 && !owner.gone.empty()) {
            goneAt = clock.nowMs();
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
    EXPECT_EQ(reportsSeen, reportsAtGone + 2);
    EXPECT_EQ(session.memberCount(), 2);
    rtp_site_info keeper;
    ASSERT_TRUE(session.memberCopy(0x2222, keeper));
    EXPECT_FALSE(keeper.r_timedout);
}

TEST_F(kelRTCPSessionTest, NoTimeOutWhenReportsToTimeOutIsZero)
{
    session.setMemberTimeoutReports(0);
    feed(kelTestRTCPRR(0x1111));
    advance(120000);
    EXPECT_GT(owner.reports.size(), 10u);
    EXPECT_TRUE(owner.gone.empty());
    EXPECT_TRUE(session.isMember(0x1111));
}

// --- round-trip probes and other application packets --------------------------------

TEST_F(kelRTCPSessionTest, RoundTripProbeAndEcho)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    advance(2200); // first report, then the probe
    const auto isProbe = [](const kelTestRTCPOutput::Sent& s) {
        kelRTCPReader r(s.data.data(), s.data.size());
        kelRTCPPacketView v;
        bool first = true;
        while (r.next(v)) {
            // A compound: the report leads, the probe comes last.
            if (first && v.type != kelrtcp_RR && v.type != kelrtcp_SR) return false;
            first = false;
            if (v.isApp("_RTT") && v.count == kelRTTProbe) return true;
        }
        return false;
    };
    ASSERT_EQ(std::count_if(output.sent.begin(), output.sent.end(), isProbe), 1);
    const auto it = std::find_if(output.sent.begin(), output.sent.end(), isProbe);
    EXPECT_EQ(ntohs(it->to.sin_port), 6001);
    const std::vector<kelTestRTCPPart> parts = kelTestSplitCompound(it->data);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].type, kelrtcp_SDES);
    const kelRTTPayload probe = kelRTTPayload::read(parts[2].bytes.data() + 12);
    EXPECT_EQ(probe.proberSSRC, kOwnSSRC);
    EXPECT_EQ(probe.probedSSRC, 0x1111u);
    EXPECT_GE(probe.timeMark, 1002000u);
    EXPECT_EQ(probe.magic, 50u ^ 0x1111u);

    // An echo with another magic is not ours to measure.
    kelRTTPayload stale = probe;
    stale.magic ^= 1;
    clock.setMs(probe.timeMark + 10);
    feed(kelTestRTCPApp(0x1111, kelRTTEcho, "_RTT", stale));
    rtp_site_info m;
    ASSERT_TRUE(session.memberCopy(0x1111, m));
    EXPECT_EQ(m.r_rtt, 0u);
    // The peer echoes it 30 ms later.
    clock.setMs(probe.timeMark + 30);
    feed(kelTestRTCPApp(0x1111, kelRTTEcho, "_RTT", probe));
    ASSERT_TRUE(session.memberCopy(0x1111, m));
    EXPECT_EQ(m.r_rtt, 30u);

    // A peer's probe of us is echoed unchanged.
    kelRTTPayload theirs;
    theirs.timeMark = 42;
    theirs.magic = 7;
    theirs.proberSSRC = 0x1111;
    theirs.probedSSRC = kOwnSSRC;
    output.sent.clear();
    feed(kelTestRTCPApp(0x1111, kelRTTProbe, "_RTT", theirs));
    ASSERT_EQ(output.sent.size(), 1u);
    EXPECT_EQ(output.sent[0].data, kelTestRTCPCompound(kOwnSSRC, "tester@host",
                                                       kelTestRTCPApp(kOwnSSRC, kelRTTEcho, "_RTT", theirs)));
    EXPECT_TRUE(owner.apps.empty());

    // With probes off, neither.
    session.setRttEnabled(false);
    output.sent.clear();
    feed(kelTestRTCPApp(0x1111, kelRTTProbe, "_RTT", theirs));
    EXPECT_TRUE(output.sent.empty());
}

TEST_F(kelRTCPSessionTest, OtherApplicationPacketsGoToTheOwner)
{
    kelRTTPayload any;
    feed(kelTestRTCPApp(0x1111, 3, "NPNG", any));
    EXPECT_EQ(owner.apps, (std::vector<std::string>{std::to_string(0x1111) + ":NPNG:20"}));
    EXPECT_TRUE(session.isMember(0x1111)) << "an APP makes its sender heard";
    EXPECT_TRUE(output.sent.empty());
}

TEST_F(kelRTCPSessionTest, ApplicationSendsAndTheirFailures)
{
    EXPECT_EQ(session.sendAPPto(sockaddr_in{}, 0, "HELO", nullptr, 0), 0);
    EXPECT_TRUE(output.sent.empty());
    EXPECT_EQ(session.sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0), 0);
    ASSERT_EQ(output.sent.size(), 1u);
    // Never a lone APP: an empty RR and the CNAME lead it.
    EXPECT_EQ(output.sent[0].data,
              kelTestRTCPCompound(kOwnSSRC, "tester@host",
                                  Bytes{0x80, 204, 0, 2, 0xC0, 0xFF, 0xEE, 0x01, 'H', 'E', 'L', 'O'}));
    EXPECT_EQ(session.sendCNAMEto(kelTestLoopback(5007)), 0);
    EXPECT_EQ(lastSent(), kelTestRTCPCompound(kOwnSSRC, "tester@host"));
    EXPECT_TRUE(output.failures.empty());

    output.result = 10065;
    EXPECT_EQ(session.sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0), 10065);
    EXPECT_EQ(output.failures, (std::vector<int>{10065}));
    // A session with nowhere to send fails rather than pretending.
    kelRTCPSession unplugged(&owner, nullptr);
    EXPECT_EQ(unplugged.sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0), 10038);
    owner.transport = kelrtcp_multicast;
    EXPECT_FALSE(unplugged.report(false));
}

} // namespace
