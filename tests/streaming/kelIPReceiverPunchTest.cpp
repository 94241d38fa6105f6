// How often an open receiver on a manual clock punches its holes, counted
// where they land: a fake transmitter's sockets on 127.0.0.1.

#include "core/kelClock.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFakeTransmitter.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr uint32_t kTx = 0x7A000001;

class kelIPReceiverPunchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(f_tx.ok());
        f_rx.reset(kelCreate<TkelIPReceiver>());
        f_rx->setClock(f_clock);
        f_rx->setURI(f_tx.uri());
        ASSERT_TRUE(f_rx->open());
        f_rxPort = static_cast<uint16_t>(portFromString(f_rx->portLocal()));
        ASSERT_TRUE(f_tx.waitForPings(1)) << "no holes at open";
    }
    void TearDown() override { f_rx->close(); }

    // Moves the clock and waits for the report timer thread's tick at the
    // new time, then counts what arrived.
    void advance(uint64_t ms)
    {
        f_clock.advanceMs(ms);
        const uint64_t t = f_clock.nowMs();
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->holes().lastTick() >= t; }));
        f_tx.drain();
    }
    void sendRTP(uint32_t ssrc)
    {
        ASSERT_TRUE(f_tx.sendRTP(f_rxPort, ssrc, ++f_seq));
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->holes().transmitterSSRC() == ssrc; }));
    }

    // An RR of the transmitter's, noted by the hole plan at the clock's now.
    void sendReport()
    {
        ASSERT_TRUE(f_tx.sendRTCP(f_rxPort, kelTestRTCPRR(kTx)));
        const uint64_t t = f_clock.nowMs();
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->holes().lastReportMs() == t; }));
    }

    kelManualClock f_clock;
    kelTestFakeTransmitter f_tx;
    kelOwned<TkelIPReceiver> f_rx;
    uint16_t f_rxPort = 0;
    uint16_t f_seq = 0;
};

} // namespace

TEST_F(kelIPReceiverPunchTest, UnheardReceiverRepeatsEveryHalfSecondThenOnlyAtReportTimes)
{
    for (int i = 1; i <= 9; ++i) {
        advance(500);
        ASSERT_TRUE(f_tx.waitForPings(1 + i)) << "no repeat " << i;
    }
    ASSERT_TRUE(kelTestWaitUntil([&] {
        f_tx.drain();
        return f_tx.helos() >= 10;
    })) << "the repeats are not whole sets";
    // Then 20 s in 40 steps: a set at report times, a few seconds apart.
    const int before = f_tx.pings();
    for (int i = 0; i < 40; ++i)
        advance(500);
    EXPECT_GE(f_tx.pings() - before, 1);
    EXPECT_LE(f_tx.pings() - before, 20);
}

TEST_F(kelIPReceiverPunchTest, ForgedMemberBurstStillGetsOneSetPerReportTime)
{
    sendRTP(kTx);
    // Members on the transmitter's host that never send RTP; few enough
    // that report times still come every several seconds.
    constexpr int kForged = 20;
    kelTestPeer forger;
    for (uint32_t i = 0; i < kForged; ++i)
        ASSERT_TRUE(forger.sendTo(static_cast<uint16_t>(f_rxPort + 1), kelTestRTCPRR(0x0F000000u + i)));
    // The transmitter's RR after them: once it is in, so is the burst.
    ASSERT_TRUE(f_tx.sendRTCP(f_rxPort, kelTestRTCPRR(kTx)));
    kelRTCPstack* stack = f_rx->rtcp();
    ASSERT_TRUE(kelTestWaitUntil([&] {
        rtp_site_info* m = stack->memberBySSRCAcq(kTx, true, 100);
        const bool in = m != nullptr && m->r_lastRRreceivedTM != 0;
        if (m) kelRTCPstack::memberReleaseRO(m);
        return in;
    }));
    const int before = f_tx.pings();
    int reports = 0;
    int steps = 0;
    for (uint64_t last = stack->lastReportTM(); reports < 2; ++steps) {
        ASSERT_LT(steps, 200) << "no report times";
        sendRTP(kTx); // still sending: never taken for gone
        advance(2000);
        if (stack->lastReportTM() != last) ++reports, last = stack->lastReportTM();
    }
    EXPECT_LT(f_tx.pings() - before, kForged);
    EXPECT_LE(f_tx.pings() - before, steps);
}

TEST_F(kelIPReceiverPunchTest, NewSSRCFromTheTransmitterPunchesAtOnce)
{
    sendRTP(kTx);
    const int pings = f_tx.pings();
    advance(500);
    advance(500);
    EXPECT_EQ(f_tx.pings(), pings) << "fast repeats to a transmitter already heard";
    sendRTP(0x7A000002);
    EXPECT_TRUE(f_tx.waitForPings(pings + 1));
}

TEST_F(kelIPReceiverPunchTest, ByeFromTheTransmitterPunchesAtOnceAndFastRepeatsFollow)
{
    sendRTP(kTx);
    const int pings = f_tx.pings();
    ASSERT_TRUE(f_tx.sendRTCP(f_rxPort, kelTestRTCPBye(kTx)));
    EXPECT_TRUE(f_tx.waitForPings(pings + 1));
    advance(500);
    EXPECT_TRUE(f_tx.waitForPings(pings + 2));
}

TEST_F(kelIPReceiverPunchTest, TransmitterWhoseRtpStopsIsPunchedForAtReportTimesThenCountsAsGone)
{
    // A transmitter we never hear report: only its RTP tells.
    sendRTP(kTx);
    const int pings = f_tx.pings();
    const uint64_t start = f_clock.nowMs();
    auto report = [&] {
        const int64_t td = f_rx->rtcp()->lastInterval().Td;
        return std::max<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(td, 0)), 2500);
    };
    while (f_tx.pings() == pings) {
        ASSERT_LE(f_clock.nowMs() - start, 3 * report()) << "no punch after the RTP stopped";
        advance(500);
    }
    EXPECT_GT(f_clock.nowMs() - start, 2500u) << "punched while its RTP was not yet quiet";
    EXPECT_TRUE(f_rx->holes().heard());
    // Three report intervals without RTP: gone, and punched for as unheard.
    while (f_rx->holes().heard()) {
        ASSERT_LE(f_clock.nowMs() - start, 5 * report()) << "never counted as gone";
        advance(500);
    }
    EXPECT_GT(f_clock.nowMs() - start, 3 * 2500u);
}

TEST_F(kelIPReceiverPunchTest, OverdueReportsPunchOnceOverdueThenAtEachReportTime)
{
    sendRTP(kTx);
    // Reports every 4 s, then none: a transmitter killed without a BYE.
    for (int i = 0; i < 4; ++i) {
        if (i > 0) advance(4000);
        sendReport();
    }
    // Its member has sent RTP too: it is not a silent member of the table,
    // whose pings at report times would hide the plan's.
    ASSERT_TRUE(f_tx.sendRTP(f_rxPort, kTx, ++f_seq));
    ASSERT_TRUE(kelTestWaitUntil([&] {
        rtp_site_info* m = f_rx->rtcp()->memberBySSRCAcq(kTx, true, 100);
        const bool sent = m != nullptr && m->r_lastPayloadTM != 0;
        if (m) kelRTCPstack::memberReleaseRO(m);
        return sent;
    }));
    ASSERT_EQ(f_rx->holes().reportIntervalMs(), 4000u);
    const uint64_t last = f_clock.nowMs();
    const int pings = f_tx.pings();
    while (f_clock.nowMs() - last <= 6000) {
        EXPECT_EQ(f_tx.pings(), pings) << "punched " << f_clock.nowMs() - last << " ms after its report";
        // Its RTP goes on (it is not quiet): only its reports stop.
        ASSERT_TRUE(f_tx.sendRTP(f_rxPort, kTx, ++f_seq));
        advance(500);
    }
    EXPECT_TRUE(f_tx.waitForPings(pings + 1)) << "not punched once its report was overdue";
    EXPECT_TRUE(f_rx->holes().silent());
    // While it stays silent: a set at report times and every 2.5 s, not
    // the half-second repeats of an unheard transmitter.
    const int overdue = f_tx.pings();
    for (int i = 0; i < 40; ++i)
        advance(500);
    EXPECT_GE(f_tx.pings() - overdue, 8);
    EXPECT_LE(f_tx.pings() - overdue, 16);
}
