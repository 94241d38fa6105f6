#include "core/kelRandomGenThread.h"

#include "core/kelCreate.h"

#include <gtest/gtest.h>

TEST(kelRandomGenThreadTest, DrawsScaleBelowTheLimitEvenForTheLargestValue)
{
    kelOwned<kelRandomGenThread> g(kelCreate<kelRandomGenThread>(4, false));
    ASSERT_TRUE(g);
    EXPECT_TRUE(g->feed(0xFFFFFFFFu));
    EXPECT_TRUE(g->feed(0));
    EXPECT_TRUE(g->feed(0x80000000u));
    EXPECT_TRUE(g->feed(0x1234567800000000ull)); // only the low 32 bits count
    EXPECT_FALSE(g->feed(1));                    // four are enough
    EXPECT_EQ(g->valuesReady(), 4);

    EXPECT_EQ(g->random(3, 0), 2u);
    EXPECT_EQ(g->random(3, 0), 0u);
    EXPECT_EQ(g->random(2, 0), 1u);
    EXPECT_EQ(g->random(1000, 0), 0u);
    EXPECT_EQ(g->valuesReady(), 0);
    EXPECT_EQ(g->pseudoFeeds(), 0u);
}

TEST(kelRandomGenThreadTest, WithoutValuesFallsBackOrReportsFailure)
{
    kelOwned<kelRandomGenThread> g(kelCreate<kelRandomGenThread>(4, false));
    const uint64_t mark = tickNow();
    EXPECT_EQ(g->random(4294967295u, -1), 4294967295u); // a stopped generator is not waited for
    EXPECT_LT(ticksSince(mark), 5000u);
    EXPECT_EQ(g->pseudoFeeds(), 0u);
    for (int i = 0; i < 20; ++i)
        EXPECT_LT(g->random(10, 0), 10u);
    EXPECT_EQ(g->pseudoFeeds(), 20u);
    EXPECT_EQ(g->random(0, 0), 0u);
    EXPECT_LE(g->random(1, 0), 1u); // one clock bit
    EXPECT_EQ(g->pseudoFeeds(), 20u);
}

TEST(kelRandomGenThreadTest, GathersValuesWhoseLowBitsAreFilled)
{
    constexpr int kValues = 8;
    kelOwned<kelRandomGenThread> g(kelCreate<kelRandomGenThread>(kValues, true));
    ASSERT_EQ(g->status(), keltsRunning);
    int lowBitsSet = 0;
    for (int i = 0; i < kValues; ++i) {
        // (v * 0xFFFFFFFF) >> 32 is v - 1: the draw shows the value's low bits.
        const uint32_t r = g->random(4294967295u, 20000);
        ASSERT_NE(r, 4294967295u);
        if ((r + 1u) % 4u != 0) ++lowBitsSet;
    }
    EXPECT_EQ(g->pseudoFeeds(), 0u);
    EXPECT_GT(lowBitsSet, 0);
    EXPECT_GT(g->waitTimeTotal(), 0u);
    const uint64_t mark = tickNow();
    EXPECT_TRUE(g->stop(10000, false)); // its one-second idle sleep ends at once
    EXPECT_LT(ticksSince(mark), 900u);
}
