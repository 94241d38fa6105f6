// When the hole plan punches again for a transmitter it has heard, checked
// with clock times by hand: its reports overdue, its RTP quiet, its BYE, a
// takeover, and the fallbacks for a transmitter whose reports are not known.

#include "streaming/kelIPReceiverHoles.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t t0 = 1000000;
constexpr uint32_t kA = 0xA;
constexpr uint32_t kB = 0xB;
// Our own report interval, as the stack would give it.
constexpr uint64_t kOurs = 5000;

// Heard at t0, reporting at t0 + 1000 and then every `gap` ms, `count`
// reports in all; the last one at the returned time.
uint64_t reporting(kelIPReceiverHoles& plan, uint64_t gap, int count)
{
    plan.opened(t0 - 1000);
    plan.rtpFromTransmitter(kA, t0);
    uint64_t t = t0 + 1000;
    for (int i = 0; i < count; ++i, t += gap)
        plan.reportFrom(kA, t);
    return t - gap;
}

} // namespace

TEST(kelIPReceiverHolesPlanTest, OverdueReportPunchesOnceThenAtEachReportTimeUntilItReportsAgain)
{
    kelIPReceiverHoles plan;
    const uint64_t last = reporting(plan, 4000, 4);
    EXPECT_EQ(plan.reportIntervalMs(), 4000u);
    // Another SSRC's reports on the transmitter's host move nothing.
    plan.reportFrom(kB, last + 5000);
    // Its RTP goes on, so only the reports can be overdue.
    plan.rtpFromTransmitter(kA, last + 5900);
    EXPECT_FALSE(plan.tick(last + 6000, true, kOurs)) << "1.5 intervals is not overdue yet";
    EXPECT_TRUE(plan.tick(last + 6001, false, kOurs)) << "overdue";
    EXPECT_TRUE(plan.silent());
    plan.punched(last + 6001);
    EXPECT_FALSE(plan.tick(last + 6100, false, kOurs)) << "between report times";
    EXPECT_TRUE(plan.tick(last + 7000, true, kOurs)) << "at a report time while silent";
    plan.punched(last + 7000);
    EXPECT_TRUE(plan.tick(last + 9500, false, kOurs)) << "2.5 s since the last set";
    // It speaks again: quiet until its next report is overdue.
    plan.reportFrom(kA, last + 14000);
    plan.rtpFromTransmitter(kA, last + 14000);
    EXPECT_FALSE(plan.silent());
    EXPECT_FALSE(plan.tick(last + 14100, false, kOurs));
}

TEST(kelIPReceiverHolesPlanTest, QuietRtpPunchesEveryTwoAndAHalfSeconds)
{
    kelIPReceiverHoles plan;
    const uint64_t last = reporting(plan, 4000, 3);
    plan.rtpFromTransmitter(kA, last);
    // Quiet for less than our report interval: nothing, report time or not.
    EXPECT_FALSE(plan.tick(last + kOurs, true, kOurs));
    plan.reportFrom(kA, last + 4000);
    // Longer: a set every 2.5 s, report time or not.
    plan.punched(last + 3000);
    EXPECT_FALSE(plan.tick(last + kOurs + 1, true, kOurs));
    EXPECT_TRUE(plan.tick(last + 5500, false, kOurs));
    EXPECT_FALSE(plan.silent()) << "its reports still come";
    plan.rtpFromTransmitter(kA, last + 5500);
    EXPECT_FALSE(plan.tick(last + 5600, true, kOurs));
}

TEST(kelIPReceiverHolesPlanTest, IntervalComesFromItsReportsOrElseFromOurs)
{
    struct Case
    {
        const char* name;
        uint64_t gap;
        int reports;
        uint64_t overdueAfter; // ms after its last report
    };
    const Case cases[] = {
        {"one report: our interval", 0, 1, 7500},
        {"gaps of 3 s", 3000, 3, 4500},
        // Reports 10 ms apart never make the interval shorter than 1 s.
        {"a burst", 10, 5, 1500},
    };
    for (const Case& c : cases) {
        kelIPReceiverHoles plan;
        const uint64_t last = reporting(plan, c.gap, c.reports);
        // Its RTP goes on: only the reports can be overdue.
        plan.rtpFromTransmitter(kA, last + c.overdueAfter - 1);
        EXPECT_FALSE(plan.tick(last + c.overdueAfter, false, kOurs)) << c.name;
        EXPECT_TRUE(plan.tick(last + c.overdueAfter + 1, false, kOurs)) << c.name;
    }
}

TEST(kelIPReceiverHolesPlanTest, ByeAndTakeoverAndRtpOnlyTransmitters)
{
    kelIPReceiverHoles plan;
    plan.opened(t0);
    // A BYE before any RTP names no one we punch for.
    EXPECT_FALSE(plan.byeFromTransmitter(kA, t0));
    plan.rtpFromTransmitter(kA, t0 + 100);
    EXPECT_EQ(plan.transmitterSSRC(), kA);
    // Never reporting: its RTP stopping for three report intervals counts
    // (besides the sets every 2.5 s while it is quiet).
    plan.punched(t0 + 99 + 3 * kOurs);
    EXPECT_FALSE(plan.tick(t0 + 100 + 3 * kOurs, false, kOurs));
    EXPECT_TRUE(plan.tick(t0 + 101 + 3 * kOurs, false, kOurs));
    EXPECT_FALSE(plan.heard());

    // The RTP receiver took B: heard, its reports learnt anew.
    const uint64_t t1 = t0 + 20000;
    plan.adopt(kB, t1);
    EXPECT_TRUE(plan.heard());
    EXPECT_EQ(plan.transmitterSSRC(), kB);
    EXPECT_EQ(plan.reportIntervalMs(), 0u);
    // Its BYE counts once and starts the fast repeats again.
    EXPECT_FALSE(plan.byeFromTransmitter(kA, t1 + 100));
    EXPECT_TRUE(plan.byeFromTransmitter(kB, t1 + 100));
    EXPECT_FALSE(plan.byeFromTransmitter(kB, t1 + 101));
    plan.punched(t1 + 100);
    EXPECT_FALSE(plan.tick(t1 + 599, false, kOurs));
    EXPECT_TRUE(plan.tick(t1 + 600, false, kOurs));

    // A new open forgets it all.
    plan.opened(t1 + 2000);
    EXPECT_EQ(plan.transmitterSSRC(), 0u);
    EXPECT_FALSE(plan.heard());
}
