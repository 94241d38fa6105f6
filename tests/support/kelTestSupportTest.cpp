// The shared test scaffolding itself: a wait that reported success it did
// not see, a clock helper that overran its bound or a peer that handed on
// the wrong datagram would let every test built on them pass wrongly.

#include "core/kelClock.h"
#include "tests/support/kelTestFlood.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(kelTestSupportTest, WaitSeesAConditionThatTurnsTrueAndReportsOneThatNeverDoes)
{
    std::atomic<bool> flag{false};
    std::thread setter([&] { flag = true; });
    EXPECT_TRUE(kelTestWaitUntil([&] { return flag.load(); }));
    setter.join();
    int calls = 0;
    EXPECT_FALSE(kelTestWaitUntil(
        [&] {
            ++calls;
            return false;
        },
        20));
    EXPECT_GE(calls, 2) << "polled, and once more at the deadline";
}

TEST(kelTestSupportTest, AdvanceStopsAtTheConditionAndNeverPassesItsBound)
{
    kelManualClock clock(1000);
    EXPECT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return clock.nowMs() >= 3500; }, 10000, 1000, 0));
    EXPECT_EQ(clock.nowMs(), 4000u) << "the first step at or past the mark";
    EXPECT_FALSE(kelTestAdvanceUntil(
        clock, [] { return false; }, 2500, 1000, 0));
    EXPECT_EQ(clock.nowMs(), 7000u) << "three steps cover 2500 ms, no fourth";
    // A condition that already holds moves nothing.
    EXPECT_TRUE(kelTestAdvanceUntil(
        clock, [] { return true; }, 1000, 1000, 0));
    EXPECT_EQ(clock.nowMs(), 7000u);
}

TEST(kelTestSupportTest, PeerSkipsOtherDatagramsAndGivesTheSendersPort)
{
    kelTestPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.uri(), kelTestURI(a.port()));
    ASSERT_TRUE(b.sendTo(a.port(), kelGoldenHELO(7)));
    ASSERT_TRUE(b.sendTo(a.port(), kelTestRTPPacket(0, 1, {1})));
    ASSERT_TRUE(b.sendTo(a.port(), kelTestRTPPacket(113, 2, {'h', 'i'})));
    EXPECT_EQ(a.receiveText(kelTestWaitMs), "hi");
    EXPECT_TRUE(a.receive(0).empty()) << "the skipped datagrams are gone";
    ASSERT_TRUE(b.sendTo(a.port(), kelGoldenBYE(9)));
    uint16_t from = 0;
    EXPECT_EQ(a.receiveRTCP(203, kelTestWaitMs, &from), kelGoldenBYE(9));
    EXPECT_EQ(from, b.port());
    EXPECT_TRUE(a.receiveRTCP(203, 0).empty());
}

TEST(kelTestSupportTest, CompoundSplitsAtLengthsAndRefusesWhatDoesNotFit)
{
    std::vector<uint8_t> both = kelGoldenBYE(1);
    const std::vector<uint8_t> helo = kelGoldenHELO(2);
    both.insert(both.end(), helo.begin(), helo.end());
    const std::vector<kelTestRTCPPart> parts = kelTestSplitCompound(both);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].type, 203);
    EXPECT_EQ(parts[1].bytes, helo);
    both.pop_back();
    EXPECT_TRUE(kelTestSplitCompound(both).empty()) << "a length past the end";
    EXPECT_TRUE(kelTestSplitCompound(kelTestRTPPacket(0, 1, {1, 2, 3})).empty()) << "not whole RTCP";
}

TEST(kelTestSupportTest, ProcessGivesItsExitCodeAndOutput)
{
    if (!kelTestProcess::available("sh")) GTEST_SKIP() << "no sh on the PATH";
    EXPECT_EQ(kelTestProcess::runToEnd({"sh", "-c", "exit 3"}, kelTestWaitMs), 3);
    EXPECT_EQ(kelTestProcess::runToEnd({"/nonexistent/program"}, kelTestWaitMs), -1);
    EXPECT_EQ(kelTestProcess::filter("tr a-z A-Z", "abc\n").value_or(""), "ABC\n");
    EXPECT_FALSE(kelTestProcess::filter("exit 1", "x"));
}

TEST(kelTestSupportTest, FloodSendsFromTheForeignHostInPortPairsAndCountsWhatComesBack)
{
    kelTestFlood flood(3, "127.0.0.2", true);
    ASSERT_TRUE(flood.ok());
    ASSERT_EQ(flood.size(), 6u);
    for (size_t i = 0; i < 6; i += 2) {
        EXPECT_EQ(flood.port(i) % 2, 0);
        EXPECT_EQ(flood.port(i + 1), flood.port(i) + 1);
    }
    EXPECT_FALSE(kelTestFlood(1, "10.0.0.1").ok()) << "only loopback hosts";

    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    const size_t sent =
        flood.burst(4, [&](uint64_t n, std::vector<uint8_t>& d, sockaddr_in& to, size_t& socket) {
            d = kelTestFlood::receiverReport(static_cast<uint32_t>(n));
            to = kelTestLoopback(peer.port());
            socket = 2;
        });
    EXPECT_EQ(sent, 4u);
    uint16_t from = 0;
    EXPECT_EQ(peer.receive(kelTestWaitMs, &from), (std::vector<uint8_t>{0x80, 201, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(from, flood.port(2));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(peer.receive(kelTestWaitMs).empty());

    ASSERT_TRUE(peer.sendTo(kelTestForeignHost(flood.port(3)), {1, 2, 3}));
    ASSERT_TRUE(peer.sendTo(kelTestForeignHost(flood.port(3)), {4}));
    const std::vector<size_t> counts = flood.drain();
    EXPECT_EQ(counts, (std::vector<size_t>{0, 0, 0, 2, 0, 0}));

    // RR + SDES: length 3 (four words), item CNAME "ab", end byte, padding.
    EXPECT_EQ(kelTestFlood::reportWithCNAME(0x01020304, "ab"),
              (std::vector<uint8_t>{0x80, 201, 0, 1, 1, 2, 3,   4,   0x81, 202, 0, 3,
                                    1,    2,   3, 4, 1, 2, 'a', 'b', 0,    0,   0, 0}));
}
