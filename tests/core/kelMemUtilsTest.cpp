#include "core/kelMemUtils.h"
#include "core/kelTimeUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

TEST(kelMemUtilsTest, AllocateClearAndResize)
{
    EXPECT_EQ(allocMem(0, true), nullptr);
    auto* p = static_cast<uint8_t*>(allocMem(5, true, 0x7E));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(findByte(p, 5, 0x7E), 0);
    p = static_cast<uint8_t*>(reallocMem(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[4], 0x7E);
    EXPECT_EQ(reallocMem(p, 0), nullptr);
}

TEST(kelMemUtilsTest, EqualityOfAbsentBlocks)
{
    const char a[] = "abc", b[] = "abc";
    EXPECT_TRUE(memEquals(a, b, 3));
    EXPECT_TRUE(memEquals(nullptr, nullptr, 3));
    EXPECT_FALSE(memEquals(a, nullptr, 3));
    EXPECT_FALSE(memEquals(a, b, 0)); // count 0: equal only as the same pointer
    EXPECT_TRUE(memEquals(a, a, 0));
    EXPECT_TRUE(guidEquals(nullptr, nullptr));
    EXPECT_FALSE(guidEquals(a, nullptr));
}

TEST(kelMemUtilsTest, SearchesFindTheRightOccurrence)
{
    const uint32_t u[] = {1, 2, 3, 2};
    const int64_t l[] = {INT64_MIN, 5, INT64_MIN};
    int x = 0, y = 0;
    const void* ptrs[] = {&x, &y, &x};
    EXPECT_EQ(findUInt32(u, 4, 2), 1);
    EXPECT_EQ(findUInt32(u, 4, 9), -1);
    EXPECT_EQ(findInt64(l, 3, INT64_MIN), 0);
    EXPECT_EQ(findPointer(ptrs, 3, &x), 2);
    EXPECT_EQ(findPointer(ptrs, 3, nullptr), -1);
    EXPECT_EQ(findBytes("abcabd", 6, "abd", 3), 3);
    EXPECT_EQ(findBytes("abc", 3, "abcd", 4), -1);
    EXPECT_EQ(findBytes("abc", 3, "", 0), -1);
}

TEST(kelMemUtilsTest, SwapBytePairsLeavesAnOddLastByte)
{
    char s[] = "abcde";
    swapBytePairs(s, 5);
    EXPECT_STREQ(s, "badce");
    EXPECT_EQ(gcd(12, -18), 6u);
    EXPECT_EQ(gcd(INT64_MIN, 0), 9223372036854775808u);
    EXPECT_EQ(gcd(0, 0), 0u);
}

TEST(kelTimeUtilsTest, PercentRoundsAndTakesTheTotalAsUnsigned)
{
    EXPECT_EQ(percent(1, 3), 33);
    EXPECT_EQ(percent(2, 3), 67);
    EXPECT_EQ(percent(0, 3), 0);
    EXPECT_EQ(percent(3, 0), 0);
    EXPECT_EQ(percent(-1, 4), -25);
    EXPECT_EQ(percent(5, -1), 0); // -1 is the largest unsigned total
    EXPECT_EQ(percentPositive(-1, 4), 0);
    EXPECT_EQ(percentPositive(1, 4), 25);
    EXPECT_EQ(choose(true, 1, 2), 1);
}

TEST(kelTimeUtilsTest, CalendarRoutines)
{
    EXPECT_TRUE(isLeapYear(2000));
    EXPECT_TRUE(isLeapYear(2024));
    EXPECT_FALSE(isLeapYear(1900));
    EXPECT_FALSE(isLeapYear(2023));
    kelSystemTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 9;
    t.hour = 7;
    t.minute = 5;
    EXPECT_EQ(formatTime(t, u"%Y-%m-%d %H:%M"), u"2026-12-09 07:05");
    EXPECT_EQ(formatTime(t, u""), u"");
    const kelSystemTime now = systemTimeNow();
    EXPECT_GE(now.year, 2024);
    EXPECT_LE(now.milliseconds, 999);
}
