// When a receiver repeats its hole packets: the plan alone, driven by hand
// with clock times, so every rule of the schedule is checked to the
// millisecond without sockets or threads.

#include "streaming/kelIPReceiverHoles.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kOpen = 1000000;
constexpr uint64_t kReport = 5000;
constexpr uint32_t kTx = 0x7A000001;
constexpr uint32_t kNewTx = 0x7A000002;

// The times within [from, to] at which the plan asks for a set, ticking
// every 100 ms as the RTCP idle thread does, with the report timer running
// out at each multiple of `expiryEvery` after the open (0: never).
std::vector<uint64_t> punchesBetween(kelIPReceiverHoles& plan, uint64_t from, uint64_t to,
                                     uint64_t expiryEvery = 0)
{
    std::vector<uint64_t> at;
    for (uint64_t t = from; t <= to; t += 100) {
        const bool expired = expiryEvery != 0 && (t - kOpen) % expiryEvery == 0;
        if (plan.tick(t, expired, kReport)) {
            plan.punched(t);
            at.push_back(t - kOpen);
        }
    }
    return at;
}

} // namespace

TEST(kelIPReceiverHolesPlanTest, UnheardRepeatsEveryHalfSecondForFiveSecondsThenAtReportTimes)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    EXPECT_EQ(
        punchesBetween(plan, kOpen + 100, kOpen + 12000, 3000),
        (std::vector<uint64_t>{500, 1000, 1500, 2000, 2500, 3000, 3500, 4000, 4500, 6000, 9000, 12000}));
}

TEST(kelIPReceiverHolesPlanTest, HeardTransmitterStopsTheRepeats)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    EXPECT_FALSE(plan.rtpFromTransmitter(kTx, kOpen + 700));
    EXPECT_TRUE(plan.heard());
    EXPECT_EQ(plan.transmitterSSRC(), kTx);
    for (uint64_t t = kOpen + 1000; t <= kOpen + 8000; t += 500)
        EXPECT_FALSE(plan.rtpFromTransmitter(kTx, t));
    EXPECT_TRUE(punchesBetween(plan, kOpen + 800, kOpen + 8000, 3000).empty());
}

TEST(kelIPReceiverHolesPlanTest, AnotherSSRCReplacesOnlyASilentOrDepartedTransmitter)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    EXPECT_FALSE(plan.rtpFromTransmitter(kTx, kOpen + 100));
    // A second source at the same address while ours still sends: not a
    // restart, and it does not become the transmitter.
    EXPECT_FALSE(plan.rtpFromTransmitter(kNewTx, kOpen + 1099));
    EXPECT_EQ(plan.transmitterSSRC(), kTx);
    // 1 s without RTP from ours: the newcomer is its restart.
    EXPECT_TRUE(plan.rtpFromTransmitter(kNewTx, kOpen + 1100));
    EXPECT_EQ(plan.transmitterSSRC(), kNewTx);
    // After a BYE the next SSRC replaces it at once.
    EXPECT_TRUE(plan.byeFromTransmitter(kNewTx, kOpen + 1200));
    EXPECT_TRUE(plan.rtpFromTransmitter(kTx, kOpen + 1201));
    EXPECT_EQ(plan.transmitterSSRC(), kTx);
}

TEST(kelIPReceiverHolesPlanTest, ByeOfTheTransmitterCountsOnceAndBringsBackFastRepeats)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    // Before any RTP, and for another SSRC, a BYE names no one we punch for.
    EXPECT_FALSE(plan.byeFromTransmitter(kTx, kOpen + 100));
    EXPECT_FALSE(plan.rtpFromTransmitter(kTx, kOpen + 200));
    EXPECT_FALSE(plan.byeFromTransmitter(kNewTx, kOpen + 300));
    EXPECT_TRUE(plan.heard());
    const uint64_t bye = kOpen + 10000;
    EXPECT_TRUE(plan.byeFromTransmitter(kTx, bye));
    plan.punched(bye);
    EXPECT_FALSE(plan.byeFromTransmitter(kTx, bye + 10));
    EXPECT_FALSE(plan.heard());
    // The restarted transmitter may come up any moment: fast repeats again.
    const std::vector<uint64_t> after = punchesBetween(plan, bye + 100, bye + 2000);
    EXPECT_EQ(after, (std::vector<uint64_t>{10500, 11000, 11500, 12000}));
}

TEST(kelIPReceiverHolesPlanTest, RTPStoppingForThreeReportIntervalsPunchesOnce)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    EXPECT_FALSE(plan.rtpFromTransmitter(kTx, kOpen));
    EXPECT_FALSE(plan.tick(kOpen + 3 * kReport, false, kReport));
    EXPECT_TRUE(plan.tick(kOpen + 3 * kReport + 1, false, kReport));
    EXPECT_FALSE(plan.heard());
    // Too short a report interval is not trusted: three of the floor.
    kelIPReceiverHoles quick;
    quick.opened(kOpen);
    EXPECT_FALSE(quick.rtpFromTransmitter(kTx, kOpen));
    EXPECT_FALSE(quick.tick(kOpen + 3 * kelIPReceiverHoles::kMinReportMs, false, 10));
    EXPECT_TRUE(quick.tick(kOpen + 3 * kelIPReceiverHoles::kMinReportMs + 1, false, 10));
}

TEST(kelIPReceiverHolesPlanTest, OpeningAgainForgetsTheTransmitter)
{
    kelIPReceiverHoles plan;
    plan.opened(kOpen);
    EXPECT_FALSE(plan.rtpFromTransmitter(kTx, kOpen + 100));
    plan.opened(kOpen + 1000);
    EXPECT_FALSE(plan.heard());
    EXPECT_EQ(plan.transmitterSSRC(), 0u);
    // Another SSRC after a new open is the first one heard, not a restart.
    EXPECT_FALSE(plan.rtpFromTransmitter(kNewTx, kOpen + 1100));
    EXPECT_EQ(plan.transmitterSSRC(), kNewTx);
}
