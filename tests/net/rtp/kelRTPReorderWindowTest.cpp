// kelRTPReorderWindow: order restored within its limits, duplicates and
// late packets dropped, sequence wrap and source restarts.
#include "net/rtp/kelRTPReorderWindow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using verdict = kelRTPReorderWindow::verdict;

// Feeds the window and records the order in which it lets packets out,
// as the receiver does: a delivered packet first, then what popReady gives.
struct Feeder
{
    kelRTPReorderWindow w;
    std::vector<uint16_t> out;

    verdict push(uint16_t seq, uint64_t now, uint64_t wait = 60)
    {
        const uint8_t bytes[2] = {static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
        const verdict v = w.push(seq, bytes, sizeof bytes, now, wait);
        if (v == verdict::deliver) out.push_back(seq);
        drain(now);
        return v;
    }
    void drain(uint64_t now)
    {
        kelRTPReorderPacket p;
        while (w.popReady(now, p)) {
            // The bytes travel with the packet.
            EXPECT_EQ(p.bytes,
                      (std::vector<uint8_t>{static_cast<uint8_t>(p.seq >> 8), static_cast<uint8_t>(p.seq)}));
            out.push_back(p.seq);
        }
    }
};

TEST(kelRTPReorderWindowTest, SwappedNeighboursComeOutInOrderAcrossTheWrap)
{
    Feeder f;
    EXPECT_EQ(f.push(65533, 0), verdict::deliver);
    EXPECT_EQ(f.push(65535, 1), verdict::held);
    EXPECT_EQ(f.push(65534, 2), verdict::deliver);
    EXPECT_EQ(f.push(1, 3), verdict::held);
    EXPECT_EQ(f.push(0, 4), verdict::deliver);
    EXPECT_EQ(f.push(2, 5), verdict::deliver);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{65533, 65534, 65535, 0, 1, 2}));
    EXPECT_EQ(f.w.heldCount(), 0u);
    EXPECT_EQ(f.w.skipped(), 0u);
    EXPECT_EQ(f.w.reordered(), 2u);
}

TEST(kelRTPReorderWindowTest, AMissingPacketIsGivenUpWhenAFourthLaterOneArrives)
{
    Feeder f;
    f.push(10, 0);
    for (uint16_t s : {12, 13, 14})
        EXPECT_EQ(f.push(s, 1), verdict::held);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{10})) << "three may wait";
    EXPECT_EQ(f.w.nextDueMs(), 61u);
    f.push(15, 2);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{10, 12, 13, 14, 15}));
    EXPECT_EQ(f.w.skipped(), 1u);
    // Its turn is over: dropped, not delivered out of order.
    EXPECT_EQ(f.push(11, 3), verdict::late);
    EXPECT_EQ(f.w.late(), 1u);
    EXPECT_EQ(f.w.nextDueMs(), UINT64_MAX);
}

TEST(kelRTPReorderWindowTest, AMissingPacketIsGivenUpWhenTheFirstWaitingOneHasWaitedItsTime)
{
    Feeder f;
    f.push(100, 0);
    f.push(102, 10, 60);
    f.push(104, 30, 60);
    f.drain(69);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{100}));
    f.drain(70);
    // 101 given up at 102's time; 103 gets the rest of 104's time.
    EXPECT_EQ(f.out, (std::vector<uint16_t>{100, 102}));
    EXPECT_EQ(f.w.nextDueMs(), 90u);
    EXPECT_EQ(f.push(103, 80), verdict::deliver);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{100, 102, 103, 104}));

    // Text waits its longer time.
    f.push(106, 100, 1000);
    f.drain(1099);
    EXPECT_EQ(f.out.back(), 104);
    EXPECT_EQ(f.push(105, 1099, 1000), verdict::deliver);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{100, 102, 103, 104, 105, 106}));
}

TEST(kelRTPReorderWindowTest, DuplicatesAreDroppedWhetherDeliveredOrWaiting)
{
    Feeder f;
    f.push(65535, 0);
    EXPECT_EQ(f.push(65535, 1), verdict::duplicate);
    f.push(1, 2);
    EXPECT_EQ(f.push(1, 3), verdict::duplicate) << "waiting already";
    f.push(0, 4);
    EXPECT_EQ(f.push(0, 5), verdict::duplicate);
    EXPECT_EQ(f.push(1, 6), verdict::duplicate);
    EXPECT_EQ(f.push(65535, 7), verdict::duplicate) << "across the wrap";
    EXPECT_EQ(f.out, (std::vector<uint16_t>{65535, 0, 1}));
    EXPECT_EQ(f.w.duplicates(), 5u);
    EXPECT_EQ(f.w.late(), 0u);
}

TEST(kelRTPReorderWindowTest, OnlyDeliveredNumbersCountAsDuplicatesAfterTheHistoryWraps)
{
    Feeder f;
    // 300 numbers on, with 200 given up: the history holds each number's
    // own fate, not that of the one 128 before it.
    for (uint16_t s = 0; s < 100; ++s)
        f.push(s, 0);
    for (uint16_t s = 300; s < 304; ++s)
        f.push(s, 0);
    EXPECT_EQ(f.w.skipped(), 200u);
    EXPECT_EQ(f.push(299, 1), verdict::late);
    EXPECT_EQ(f.push(250, 1), verdict::late);
    EXPECT_EQ(f.push(303, 1), verdict::duplicate);
}

TEST(kelRTPReorderWindowTest, AFarJumpRestartsTheStreamOnlyWhenTheNextPacketFollowsIt)
{
    Feeder f;
    f.push(500, 0);
    f.push(502, 1);
    // A stray far ahead is dropped when the stream goes on.
    EXPECT_EQ(f.push(40000, 2), verdict::held);
    EXPECT_EQ(f.push(501, 3), verdict::deliver);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{500, 501, 502}));
    EXPECT_EQ(f.w.late(), 1u);

    // A restart: what waited before it goes out first, then both new ones.
    f.push(504, 4);
    f.push(9, 5);
    f.push(10, 6);
    EXPECT_EQ(f.out, (std::vector<uint16_t>{500, 501, 502, 504, 9, 10}));
    EXPECT_EQ(f.push(11, 7), verdict::deliver);
    EXPECT_EQ(f.push(9, 8), verdict::duplicate);
    // A lone stray that never gets a successor is dropped at its time.
    EXPECT_EQ(f.push(30000, 9), verdict::held);
    f.drain(9 + 60);
    EXPECT_EQ(f.w.heldCount(), 0u);
    EXPECT_EQ(f.out.back(), 11);
    EXPECT_EQ(f.w.late(), 2u);
}

} // namespace
