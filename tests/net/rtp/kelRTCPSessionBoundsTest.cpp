// The RTCP session's member table under forged sources: validation, the
// unvalidated pool and the hard cap, and a report interval that keeps
// reports flowing whatever the table holds. No socket: a manual clock and
// the recording output.
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestRTCP.h"
#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPSession.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = kelTestBytes;
constexpr uint32_t kOwnSSRC = 0xC0FFEE01;
constexpr uint32_t kPeer = 0x1111;

class kelRTCPSessionBoundsTest : public ::testing::Test
{
protected:
    kelRTCPSessionBoundsTest() : session(&owner, &output)
    {
        session.setClock(clock);
        session.setRandom([](uint32_t upper) { return std::min<uint32_t>(upper, 99); }); // longest draw
        session.reset();
    }

    void feed(const Bytes& b, uint16_t port = 6001)
    {
        session.processRTCP(kelTestLoopback(port), b.data(), b.size());
    }
    // A real peer: its compound with the CNAME, and RTP in sequence.
    void joinPeer(uint32_t ssrc, uint16_t port)
    {
        feed(kelTestRTCPCompound(ssrc, "peer@near"), port);
        for (uint16_t seq = 100; seq < 103; ++seq)
            hearRTP(ssrc, seq, port);
    }
    void hearRTP(uint32_t ssrc, uint16_t seq, uint16_t port)
    {
        rtp_hdr h;
        h.setSeq(seq);
        h.setSsrc(ssrc);
        session.processRTP(kelTestLoopback(static_cast<uint16_t>(port - 1)), h, 172);
        (void)session.updateSeq(h);
    }
    void advance(uint64_t ms)
    {
        for (uint64_t end = clock.nowMs() + ms; clock.nowMs() < end;) {
            clock.advanceMs(100);
            (void)session.tick();
        }
    }

    kelManualClock clock;
    kelTestRTCPOwner owner{kOwnSSRC};
    kelTestRTCPOutput output;
    kelRTCPSession session;
};

bool reportsAbout(const Bytes& compound, uint32_t ssrc)
{
    kelRTCPReader r(compound.data(), compound.size());
    kelRTCPPacketView v;
    while (r.next(v))
        for (unsigned i = 0; (v.type == kelrtcp_RR || v.type == kelrtcp_SR) && i < v.blockCount; ++i)
            if (v.block(i).ssrc == ssrc) return true;
    return false;
}

// A round-trip probe: its compound carries no report blocks.
bool isProbe(const Bytes& compound)
{
    kelRTCPReader r(compound.data(), compound.size());
    kelRTCPPacketView v;
    while (r.next(v))
        if (v.isApp("_RTT")) return true;
    return false;
}

TEST_F(kelRTCPSessionBoundsTest, BurstOfForgedReportsLeavesThePeerReportedEveryFewSeconds)
{
    joinPeer(kPeer, 6001);
    ASSERT_EQ(session.validatedMemberCount(), 2);
    // 5,000 lone RRs, each from a fresh SSRC and source port, sent once.
    for (uint32_t i = 0; i < 5000; ++i)
        feed(kelTestRTCPRR(0x50000000 + i), static_cast<uint16_t>(20000 + i));
    EXPECT_LE(session.memberCount(), 2 + session.maxUnvalidated());
    EXPECT_EQ(session.validatedMemberCount(), 2);
    EXPECT_GE(session.membersDropped(), 5000u - static_cast<uint64_t>(session.maxUnvalidated()));
    EXPECT_TRUE(session.isMember(kPeer));

    // A minute on: reports keep coming, at most 1.22 x 6 s apart with the
    // longest draw, each about the peer and sent to the peer alone.
    output.sent.clear();
    uint64_t last = clock.nowMs();
    uint64_t longestGap = 0;
    size_t seen = 0;
    for (uint64_t end = clock.nowMs() + 60000; clock.nowMs() < end;) {
        hearRTP(kPeer, static_cast<uint16_t>(103 + clock.nowMs() / 100), 6001);
        advance(100);
        if (output.sent.size() > seen) {
            longestGap = std::max(longestGap, clock.nowMs() - last);
            last = clock.nowMs();
            seen = output.sent.size();
        }
    }
    EXPECT_GE(seen, 8u);
    EXPECT_LE(longestGap, 7400u);
    EXPECT_LE(session.lastInterval().Td, 6000);
    for (const auto& s : output.sent) {
        EXPECT_EQ(ntohs(s.to.sin_port), 6001) << "no report goes to a forged address";
        EXPECT_TRUE(isProbe(s.data) || reportsAbout(s.data, kPeer));
    }
}

TEST_F(kelRTCPSessionBoundsTest, OldestUnvalidatedSourceMakesRoomAndValidatedOnesStay)
{
    session.setMaxUnvalidated(3);
    feed(kelTestRTCPRR(0xA), 7001);
    feed(kelTestRTCPRR(0xB), 7003);
    feed(kelTestRTCPRR(0xC), 7005);
    feed(kelTestRTCPRR(0xD), 7007);
    EXPECT_FALSE(session.isMember(0xA)) << "the oldest goes first";
    // 0xB proves itself with RTP in sequence, 0xC with a CNAME.
    hearRTP(0xB, 40, 7003);
    hearRTP(0xB, 41, 7003);
    feed(kelTestRTCPCompound(0xC, "c@near"), 7005);
    EXPECT_EQ(session.validatedMemberCount(), 3);
    feed(kelTestRTCPRR(0xE), 7009);
    feed(kelTestRTCPRR(0xF), 7011);
    feed(kelTestRTCPRR(0x10), 7013);
    EXPECT_FALSE(session.isMember(0xD));
    for (const uint32_t ssrc : {0xBu, 0xCu, 0xEu, 0xFu, 0x10u})
        EXPECT_TRUE(session.isMember(ssrc)) << std::hex << ssrc;
    EXPECT_EQ(session.memberCount(), 6);
}

TEST_F(kelRTCPSessionBoundsTest, FullTableOfValidatedMembersRefusesNewcomers)
{
    session.setMaxMembers(4);
    for (uint32_t i = 0; i < 4; ++i)
        feed(kelTestRTCPCompound(0x100 + i, "peer@near"), static_cast<uint16_t>(7001 + 2 * i));
    feed(kelTestRTCPRR(0x999), 7101);
    feed(kelTestRTCPCompound(0x998, "late@near"), 7103);
    EXPECT_EQ(session.memberCount(), 5);
    EXPECT_FALSE(session.isMember(0x999));
    EXPECT_FALSE(session.isMember(0x998));
    EXPECT_GE(session.membersRefused(), 2u);
    // A refused RTP source is still delivered.
    EXPECT_TRUE(session.updateSeq(0x997, 1));
}

TEST_F(kelRTCPSessionBoundsTest, UnvalidatedSourcesLeaveWithoutTellingTheOwner)
{
    feed(kelTestRTCPRR(0xBAD1), 7001);
    feed(kelTestRTCPBye(0xBAD1), 7001);
    feed(kelTestRTCPRR(0xBAD2), 7003);
    advance(120000);
    EXPECT_TRUE(owner.gone.empty());
    EXPECT_FALSE(session.isMember(0xBAD1));
    EXPECT_FALSE(session.isMember(0xBAD2)) << "silent unvalidated sources time out too";
    EXPECT_TRUE(output.sent.empty()) << "nothing is reported to them";
}

TEST_F(kelRTCPSessionBoundsTest, FirstMemberIsTheEarliestToJoinNotTheLowestSSRC)
{
    feed(kelTestRTCPCompound(0x9000, "first@near"), 7001);
    feed(kelTestRTCPCompound(0x1000, "second@near"), 7003);
    feed(kelTestRTCPCompound(0x5000, "third@near"), 7005);
    EXPECT_TRUE(session.isFirstMember(0x9000));
    EXPECT_FALSE(session.isFirstMember(0x1000));
    feed(kelTestRTCPBye(0x9000), 7001);
    session.checkTimeouts(0);
    ASSERT_FALSE(session.isMember(0x9000));
    EXPECT_TRUE(session.isFirstMember(0x1000)) << "the next to have joined takes its place";
}

TEST(kelRTCPIntervalTest, CeilingHoldsTdBetweenTminAndTheLimit)
{
    kelRTCPIntervalInput in;
    in.members = 5000;
    in.initial = false;
    EXPECT_GT(rtcpComputeInterval(in, 0).Td, 60000) << "without a ceiling the table stretches Td";
    in.maxTd = 6000;
    EXPECT_EQ(rtcpComputeInterval(in, 0).Td, 6000);
    in.maxTd = 1000;
    EXPECT_EQ(rtcpComputeInterval(in, 0).Td, 5000) << "never below Tmin";
    in.members = 2;
    in.maxTd = 6000;
    EXPECT_EQ(rtcpComputeInterval(in, 0).Td, 5000);
}

} // namespace
