// Who counts as the transmitter in the hole plan, checked with clock times
// by hand: the cases the socket tests cannot tell apart by what arrives.

#include "streaming/kelIPReceiverHoles.h"

#include <gtest/gtest.h>

TEST(kelIPReceiverHolesPlanTest, AnotherSSRCReplacesOnlyASilentOrDepartedTransmitter)
{
    constexpr uint64_t t0 = 1000000;
    kelIPReceiverHoles plan;
    plan.opened(t0);
    // A BYE before any RTP names no one we punch for.
    EXPECT_FALSE(plan.byeFromTransmitter(0xA, t0));
    EXPECT_FALSE(plan.rtpFromTransmitter(0xA, t0 + 100));
    // A second live source at the same address is not a restart.
    EXPECT_FALSE(plan.rtpFromTransmitter(0xB, t0 + 1099));
    EXPECT_EQ(plan.transmitterSSRC(), 0xAu);
    // After 1 s without RTP from ours, it is.
    EXPECT_TRUE(plan.rtpFromTransmitter(0xB, t0 + 1100));
    // A BYE of another SSRC changes nothing; ours counts once, and the next
    // SSRC replaces it at once.
    EXPECT_FALSE(plan.byeFromTransmitter(0xA, t0 + 1200));
    EXPECT_TRUE(plan.byeFromTransmitter(0xB, t0 + 1200));
    EXPECT_FALSE(plan.byeFromTransmitter(0xB, t0 + 1201));
    EXPECT_TRUE(plan.rtpFromTransmitter(0xC, t0 + 1202));
    // A new open forgets it all.
    plan.opened(t0 + 2000);
    EXPECT_EQ(plan.transmitterSSRC(), 0u);
    EXPECT_FALSE(plan.rtpFromTransmitter(0xD, t0 + 2100));
}
