// How often an open receiver punches its holes, counted where they land: at
// a fake transmitter's two sockets on 127.0.0.1, with the receiver on a
// manual clock. Fast repeats before the transmitter is heard, one set per
// report time whatever the member table holds, and a set at once when the
// transmitter restarts, says BYE or stops sending.

#include "core/kelClock.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFakeTransmitter.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint32_t kTx = 0x7A000001;
constexpr uint32_t kRestartedTx = 0x7A000002;

class kelIPReceiverPunchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(f_tx.ok());
        f_rx.reset(kelCreate<TkelIPReceiver>());
        ASSERT_TRUE(f_rx);
        f_rx->setClock(f_clock);
        f_rx->setURI(f_tx.uri());
        ASSERT_TRUE(f_rx->open());
        f_rxPort = static_cast<uint16_t>(portFromString(f_rx->portLocal()));
        ASSERT_NE(f_rxPort, 0);
        // The set sent at open.
        ASSERT_TRUE(f_tx.waitForPings(1));
        ASSERT_TRUE(kelTestWaitUntil([&] {
            f_tx.drain();
            return f_tx.helos() >= 1;
        }));
    }
    void TearDown() override
    {
        if (f_rx) f_rx->close();
    }

    // Moves the clock on and waits until the receiver's report timer thread
    // has ticked at the new time, then counts what arrived.
    void advance(uint64_t ms)
    {
        f_clock.advanceMs(ms);
        const uint64_t t = f_clock.nowMs();
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->holes().lastTick() >= t; }));
        f_tx.drain();
    }
    // The transmitter's RTP, with the receiver's view of it awaited.
    void sendRTP(uint32_t ssrc)
    {
        ASSERT_TRUE(f_tx.sendRTP(f_rxPort, ssrc, ++f_seq));
        ASSERT_TRUE(kelTestWaitUntil([&] { return f_rx->holes().transmitterSSRC() == ssrc; }));
    }
    // An RR from the transmitter's RTCP port, awaited in the receiver's
    // table: what was sent to its RTCP port before has been read by then.
    bool sendMarkerRR()
    {
        if (!f_tx.sendRTCP(f_rxPort, kelTestRTCPRR(kTx))) return false;
        return kelTestWaitUntil([&] {
            kelRTCPstack* stack = f_rx->rtcp();
            rtp_site_info* m = stack ? stack->memberBySSRCAcq(kTx, true, 100) : nullptr;
            if (m == nullptr) return false;
            const bool reported = m->r_lastRRreceivedTM != 0;
            kelRTCPstack::memberReleaseRO(m);
            return reported;
        });
    }
    uint64_t reportMs()
    {
        kelRTCPstack* stack = f_rx->rtcp();
        const int64_t td = stack ? stack->lastInterval().Td : 0;
        return std::max<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(td, 0)),
                                  kelIPReceiverHoles::kMinReportMs);
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
    // Nine repeats in the first 5 s, each a whole set.
    for (int i = 1; i <= 9; ++i) {
        advance(kelIPReceiverHoles::kFastRepeatMs);
        ASSERT_TRUE(f_tx.waitForPings(1 + i)) << "no repeat " << i;
    }
    ASSERT_TRUE(kelTestWaitUntil([&] {
        f_tx.drain();
        return f_tx.helos() >= 10;
    }));
    // Then 20 s in half-second steps: a set at report times (a few seconds
    // apart), not at every step.
    const int before = f_tx.pings();
    for (int i = 0; i < 40; ++i)
        advance(kelIPReceiverHoles::kFastRepeatMs);
    const int later = f_tx.pings() - before;
    EXPECT_GE(later, 1) << "no report-time repeat";
    EXPECT_LE(later, 20);
}

TEST_F(kelIPReceiverPunchTest, HeardTransmitterGetsNoFastRepeats)
{
    sendRTP(kTx);
    const int before = f_tx.pings();
    for (int i = 0; i < 8; ++i)
        advance(kelIPReceiverHoles::kFastRepeatMs);
    EXPECT_EQ(f_tx.pings(), before);
}

TEST_F(kelIPReceiverPunchTest, ForgedMemberBurstStillGetsOneSetPerReportTime)
{
    sendRTP(kTx);
    // Members that claim the transmitter's host and never send RTP. Few
    // enough that report times still come every several seconds.
    constexpr int kForged = 20;
    kelTestPeer forger;
    ASSERT_TRUE(forger.ok());
    for (uint32_t i = 0; i < kForged; ++i)
        ASSERT_TRUE(forger.sendTo(static_cast<uint16_t>(f_rxPort + 1), kelTestRTCPRR(0x0F000000u + i)));
    ASSERT_TRUE(sendMarkerRR());
    const int before = f_tx.pings();
    kelRTCPstack* stack = f_rx->rtcp();
    ASSERT_NE(stack, nullptr);
    int reports = 0;
    int steps = 0;
    uint64_t lastReport = stack->lastReportTM();
    while (reports < 2) {
        ASSERT_LT(steps, 200) << "no report times";
        // The transmitter keeps sending, so it never counts as gone.
        sendRTP(kTx);
        advance(2000);
        ++steps;
        if (stack->lastReportTM() != lastReport) {
            lastReport = stack->lastReportTM();
            ++reports;
        }
    }
    // A set per silent member would be kForged at each report time.
    const int pings = f_tx.pings() - before;
    EXPECT_LT(pings, kForged);
    EXPECT_LE(pings, steps);
}

TEST_F(kelIPReceiverPunchTest, NewSSRCFromTheTransmitterPunchesAtOnce)
{
    sendRTP(kTx);
    advance(kelIPReceiverHoles::kSSRCSilentMs);
    const int pings = f_tx.pings();
    const int helos = f_tx.helos();
    // No clock step: the restart itself sends the set.
    sendRTP(kRestartedTx);
    EXPECT_TRUE(f_tx.waitForPings(pings + 1));
    EXPECT_TRUE(kelTestWaitUntil([&] {
        f_tx.drain();
        return f_tx.helos() > helos;
    }));
}

TEST_F(kelIPReceiverPunchTest, ByeFromTheTransmitterPunchesAtOnceAndFastRepeatsFollow)
{
    sendRTP(kTx);
    const int pings = f_tx.pings();
    ASSERT_TRUE(f_tx.sendBye(f_rxPort, kTx));
    EXPECT_TRUE(f_tx.waitForPings(pings + 1));
    EXPECT_FALSE(f_rx->holes().heard());
    advance(kelIPReceiverHoles::kFastRepeatMs);
    EXPECT_TRUE(f_tx.waitForPings(pings + 2));
}

TEST_F(kelIPReceiverPunchTest, ByeFromAnotherHostIsNotTheTransmitters)
{
    sendRTP(kTx);
    const int pings = f_tx.pings();
    if (!kelTestSendFrom("127.0.0.2", static_cast<uint16_t>(f_rxPort + 1), kelTestRTCPBye(kTx)))
        GTEST_SKIP() << "127.0.0.2 cannot be bound here";
    ASSERT_TRUE(sendMarkerRR());
    EXPECT_TRUE(f_rx->holes().heard());
    f_tx.drain();
    EXPECT_EQ(f_tx.pings(), pings);
}

TEST_F(kelIPReceiverPunchTest, TransmitterThatStopsSendingIsPunchedForWithinAFewReportIntervals)
{
    sendRTP(kTx);
    const int pings = f_tx.pings();
    const uint64_t start = f_clock.nowMs();
    uint64_t limit = 0;
    while (f_tx.pings() == pings) {
        limit = (kelIPReceiverHoles::kStallReports + 1) * reportMs();
        ASSERT_LE(f_clock.nowMs() - start, limit) << "no punch after the RTP stopped";
        advance(500);
    }
    // Before the old member could have timed out of the table.
    EXPECT_GT(f_clock.nowMs() - start, kelIPReceiverHoles::kStallReports * kelIPReceiverHoles::kMinReportMs);
    EXPECT_FALSE(f_rx->holes().heard());
}
