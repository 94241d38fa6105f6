#include "core/kelMemUtils.h"
#include "core/kelTimeUtils.h"

#include <gtest/gtest.h>

#include <climits>

TEST(kelMemUtilsTest, EdgeRulesOfTheBinaryRoutines)
{
    const char a[] = "abc", b[] = "abc";
    EXPECT_TRUE(memEquals(a, b, 3));
    EXPECT_TRUE(memEquals(nullptr, nullptr, 3));
    EXPECT_FALSE(memEquals(a, b, 0)); // count 0: equal only as the same pointer
    EXPECT_FALSE(guidEquals(a, nullptr));

    int x = 0, y = 0;
    const void* ptrs[] = {&x, &y, &x};
    EXPECT_EQ(findPointer(ptrs, 3, &x), 2); // searched from the end
    EXPECT_EQ(findBytes("abcabd", 6, "abd", 3), 3);
    EXPECT_EQ(findBytes("abc", 3, "abcd", 4), -1);

    char s[] = "abcde";
    swapBytePairs(s, 5);
    EXPECT_STREQ(s, "badce");
    EXPECT_EQ(gcd(INT64_MIN, 0), 9223372036854775808u);
    EXPECT_EQ(allocMem(0, true), nullptr);
}

TEST(kelTimeUtilsTest, PercentRoundsAndTakesTheTotalAsUnsigned)
{
    EXPECT_EQ(percent(2, 3), 67);
    EXPECT_EQ(percent(3, 0), 0);
    EXPECT_EQ(percent(5, -1), 0); // -1 is the largest unsigned total
    EXPECT_EQ(percentPositive(-1, 4), 0);
    EXPECT_FALSE(isLeapYear(1900));
    EXPECT_TRUE(isLeapYear(2000));
}
