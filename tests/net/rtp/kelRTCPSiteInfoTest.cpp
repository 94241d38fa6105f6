#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPSiteInfo.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A member that has passed probation and received `seq` last.
rtp_site_info runningSource(uint16_t first, int packets)
{
    rtp_site_info s;
    s.r_ssrc = 77;
    rtpSeqStartProbation(s, first);
    for (int i = 0; i < packets; ++i)
        EXPECT_TRUE(rtpSeqUpdate(s, static_cast<uint16_t>(first + i)));
    return s;
}

TEST(kelRTPSequenceTest, ProbationDeliversTheFirstPacketAndRestartsOnTheSecond)
{
    rtp_site_info s;
    rtpSeqStartProbation(s, 1000);
    EXPECT_TRUE(rtpSeqUpdate(s, 1000));
    EXPECT_EQ(s.r_probation, 1u);
    EXPECT_TRUE(rtpSeqUpdate(s, 1001));
    EXPECT_EQ(s.r_probation, 0u);
    // The state restarted at 1001 and counted that packet only.
    EXPECT_EQ(s.r_base_seq, 1001u);
    EXPECT_EQ(s.r_received, 1u);
    EXPECT_EQ(s.r_stat_received, 2);
    // Out of order during probation: not delivered, probation continues.
    rtp_site_info t;
    rtpSeqStartProbation(t, 0);
    EXPECT_EQ(t.r_max_seq, 65535);
    EXPECT_FALSE(rtpSeqUpdate(t, 5));
    EXPECT_EQ(t.r_probation, 1u);
    EXPECT_TRUE(rtpSeqUpdate(t, 6));
    EXPECT_EQ(t.r_probation, 0u);
}

TEST(kelRTPSequenceTest, LatePacketsAreDroppedButCountedAsReceived)
{
    rtp_site_info s = runningSource(100, 100);
    const uint32_t received = s.r_received;
    EXPECT_FALSE(rtpSeqUpdate(s, 149)) << "50 behind the highest (199)";
    EXPECT_FALSE(rtpSeqUpdate(s, 199 - 100 + 1)) << "99 behind";
    EXPECT_EQ(s.r_received, received + 2);
    EXPECT_EQ(s.r_max_seq, 199);
    // A gap below the dropout limit is accepted and shows as loss.
    EXPECT_TRUE(rtpSeqUpdate(s, 199 + 2999));
    EXPECT_EQ(s.r_max_seq, 3198);
}

TEST(kelRTPSequenceTest, TwoConsecutiveBigJumpsResynchronise)
{
    rtp_site_info s = runningSource(100, 10);
    EXPECT_FALSE(rtpSeqUpdate(s, 10109));
    EXPECT_EQ(s.r_bad_seq, 10110u);
    EXPECT_TRUE(rtpSeqUpdate(s, 10110));
    EXPECT_EQ(s.r_base_seq, 10110u);
    EXPECT_EQ(s.r_max_seq, 10110);
    EXPECT_EQ(s.r_received, 1u);
    // A single jump followed by normal packets does not resynchronise.
    rtp_site_info t = runningSource(100, 10);
    EXPECT_FALSE(rtpSeqUpdate(t, 20000));
    EXPECT_TRUE(rtpSeqUpdate(t, 110));
    EXPECT_EQ(t.r_base_seq, 101u) << "probation ended on the second packet";
}

TEST(kelRTPSequenceTest, ReportBlockCountsLossAcrossSequenceWrap)
{
    rtp_site_info s = runningSource(65530, 2); // base 65531 after probation
    for (uint16_t seq : {65532, 65533, 65535, 0, 1, 3})
        ASSERT_TRUE(rtpSeqUpdate(s, seq));
    // Received 65531..65533, 65535, 0, 1, 3: missing 65534 and 2.
    kelRTCPReportBlock b = rtpMakeReportBlock(s, 10000);
    EXPECT_EQ(b.ssrc, 77u);
    EXPECT_EQ(b.extendedHighestSeq, 0x00010003u);
    EXPECT_EQ(b.cumulativeLost, 2u);
    EXPECT_EQ(b.fractionLost, 2 * 256 / 9);
    EXPECT_EQ(b.jitter, 0u) << "no arrival was timed";
    EXPECT_EQ(b.lastSR, 0u);
    EXPECT_EQ(b.delaySinceLastSR, 0u);
    EXPECT_EQ(s.r_stat_lost, 2);

    // Next interval without loss: fraction 0, cumulative stays.
    for (uint16_t seq = 4; seq < 14; ++seq)
        ASSERT_TRUE(rtpSeqUpdate(s, seq));
    b = rtpMakeReportBlock(s, 10000);
    EXPECT_EQ(b.fractionLost, 0);
    EXPECT_EQ(b.cumulativeLost, 2u);
    EXPECT_EQ(s.r_stat_lostPercent, 0);
}

TEST(kelRTPSequenceTest, ReorderedAndDuplicatedPacketsAreNoLoss)
{
    struct Case
    {
        const char* what;
        std::vector<uint16_t> arrivals; // after 100 and 101, base 101
        uint32_t lost;
        uint8_t fraction;
    };
    const Case cases[] = {
        {"in order", {102, 103, 104, 105, 106, 107, 108, 109, 110}, 0, 0},
        {"one missing", {102, 103, 104, 106, 107, 108, 109, 110}, 1, 256 / 10},
        {"one swapped pair", {102, 103, 105, 104, 106, 107, 108, 109, 110}, 0, 0},
        {"one arriving five late", {102, 104, 105, 106, 107, 108, 103, 109, 110}, 0, 0},
        {"one repeated at once", {102, 103, 103, 104, 105, 106, 107, 108, 109, 110}, 0, 0},
        {"one repeated later", {102, 103, 104, 105, 106, 103, 107, 108, 109, 110}, 0, 0},
        {"a repeat and a loss", {102, 103, 103, 105, 106, 107, 108, 109, 110}, 0, 0},
    };
    for (const Case& c : cases) {
        rtp_site_info s = runningSource(100, 2);
        for (uint16_t seq : c.arrivals)
            (void)rtpSeqUpdate(s, seq);
        const kelRTCPReportBlock b = rtpMakeReportBlock(s, 0);
        EXPECT_EQ(b.extendedHighestSeq, 110u) << c.what;
        EXPECT_EQ(b.cumulativeLost, c.lost) << c.what;
        EXPECT_EQ(b.fractionLost, c.fraction) << c.what;
    }
}

TEST(kelRTPSequenceTest, ADuplicateDoesNotHideALossInTheNextInterval)
{
    rtp_site_info s = runningSource(100, 2);
    for (uint16_t seq : {102, 103, 103, 104, 105, 106, 107, 108, 109, 110})
        (void)rtpSeqUpdate(s, seq);
    EXPECT_EQ(rtpMakeReportBlock(s, 0).cumulativeLost, 0u);
    // 10 expected, 9 arrived: the repeat of the first interval does not
    // make up for the packet lost in this one.
    for (uint16_t seq : {111, 112, 113, 114, 116, 117, 118, 119, 120})
        (void)rtpSeqUpdate(s, seq);
    const kelRTCPReportBlock b = rtpMakeReportBlock(s, 0);
    EXPECT_EQ(b.fractionLost, 256 / 10);
    EXPECT_EQ(b.cumulativeLost, 0u) << "the repeat and the loss cancel out, as RFC 3550 counts";
}

TEST(kelRTPSequenceTest, ReportBlockClampsDuplicatesAndComputesDlsrIn64Bits)
{
    rtp_site_info s = runningSource(10, 5);
    s.r_received += 3; // more than expected
    s.r_lastSRreceived = 0xABCD1234;
    s.r_lastSRreceivedTM = 1000;
    // 100 s after the SR: 100 × 65536 = 6553600, which overflows 32 bits if
    // the milliseconds are multiplied first in 32-bit arithmetic.
    const kelRTCPReportBlock b = rtpMakeReportBlock(s, 1000 + 100000);
    EXPECT_EQ(b.cumulativeLost, 0u);
    EXPECT_EQ(b.fractionLost, 0);
    EXPECT_EQ(b.lastSR, 0xABCD1234u);
    EXPECT_EQ(b.delaySinceLastSR, 100u * 65536);
}

TEST(kelRTCPIntervalTest, ReceiverShareGrowsWithMembership)
{
    kelRTCPIntervalInput in;
    in.members = 2;
    in.initial = true;
    kelRTCPIntervalResult r = rtcpComputeInterval(in, 50);
    EXPECT_EQ(r.C, 666); // 100 bytes at 150 bytes/s
    EXPECT_EQ(r.Tmin, 2500);
    EXPECT_EQ(r.Td, 2500);
    EXPECT_EQ(r.T, static_cast<int64_t>(2500.0 * 100 / 100 / 1.21828));

    in.initial = false;
    in.members = 41;
    r = rtcpComputeInterval(in, 0);
    EXPECT_EQ(r.n, 41);
    EXPECT_EQ(r.Td, 41 * 666);
    EXPECT_EQ(r.Tmin, 5000);
}

TEST(kelRTCPIntervalTest, SenderSharesAndRandomBounds)
{
    kelRTCPIntervalInput in;
    in.initial = false;
    in.members = 40;
    in.senders = 2;
    in.weSent = true;
    kelRTCPIntervalResult r = rtcpComputeInterval(in, 0);
    EXPECT_EQ(r.C, 2000); // a quarter of the bandwidth for the senders
    EXPECT_EQ(r.n, 2);
    EXPECT_EQ(r.Td, 5000);
    // More than a quarter are senders: everyone shares the whole bandwidth.
    in.senders = 20;
    r = rtcpComputeInterval(in, 0);
    EXPECT_EQ(r.C, 500);
    EXPECT_EQ(r.n, 40);
    EXPECT_EQ(r.Td, 20000);
    for (uint32_t draw = 0; draw < 100; ++draw) {
        const int64_t t = rtcpComputeInterval(in, draw).T;
        EXPECT_GE(t, 8208);  // 0.5 Td / 1.21828
        EXPECT_LE(t, 24461); // 1.49 Td / 1.21828
    }
    EXPECT_LT(rtcpComputeInterval(in, 0).T, rtcpComputeInterval(in, 99).T);
}

} // namespace

TEST(kelRTPSequenceTest, JitterFollowsTheInterarrivalFormulaAndSurvivesTimestampWrap)
{
    rtp_site_info s;
    // The first packet only sets the transit.
    rtpJitterUpdate(s, 1000, 0xFFFFFFC0);
    EXPECT_EQ(s.r_jitter, 0u);
    // 160 ticks of timestamp across the wrap, 320 ticks of arrival: D = 160,
    // J = 160 / 16 = 10 (kept ×16).
    rtpJitterUpdate(s, 1320, 0x00000060);
    EXPECT_EQ(s.r_jitter >> 4, 10u);
    // An early packet counts by its magnitude: D = -160, J += (160 - 10) / 16.
    rtpJitterUpdate(s, 1320, 0x00000100);
    EXPECT_EQ(s.r_jitter >> 4, 19u);
    kelRTCPReportBlock b = rtpMakeReportBlock(s, 0);
    EXPECT_EQ(b.jitter, 19u);
    // A restarted source starts a new transit rather than one huge jump.
    rtpSeqInit(s, 500);
    rtpJitterUpdate(s, 9, 0x12345678);
    EXPECT_EQ(s.r_jitter >> 4, 19u);
}

TEST(kelRTPSequenceTest, ArrivalUnitsKeepMicrosecondsAndDoNotOverflow)
{
    EXPECT_EQ(rtpArrivalUnits(1125, 8000), 9u);
    EXPECT_EQ(rtpArrivalUnits(2500000, 8000), 20000u);
    // Ten years of microseconds at 90 kHz, modulo 2^32.
    const uint64_t us = 315360000ull * 1000000ull + 500000;
    EXPECT_EQ(rtpArrivalUnits(us, 90000), static_cast<uint32_t>(315360000ull * 90000ull + 45000));
}
