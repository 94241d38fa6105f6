#include "core/kelTextUtils.h"

#include <gtest/gtest.h>

TEST(kelTextUtilsTest, CompareTextOrdersByLengthFirst)
{
    EXPECT_EQ(compareText(u"ab", u"abc"), -1);
    EXPECT_EQ(compareText(u"abd", u"abc"), 1);
    EXPECT_EQ(compareText(u"zz", u"aaa"), -1);
    EXPECT_EQ(compareText(u"ABC", u"abc", true), 0);
    EXPECT_EQ(compareText("\xE9", "a"), 1); // bytes compare unsigned
    EXPECT_TRUE(textEquals(u" Hello\t", u"hELLO", true));
    EXPECT_FALSE(textEquals(u"\u00C9", u"\u00E9")); // only A-Z fold
    EXPECT_EQ(lowerAscii(u"AB\u00C9Z@"), u"ab\u00C9z@");
}

TEST(kelTextUtilsTest, PadTextPadsAndCutsAtTheChosenEnd)
{
    EXPECT_EQ(padText(u"7", -3, u'0', true), u"007");
    EXPECT_EQ(padText(u"12345", 3, u' ', true), u"12345");
    EXPECT_EQ(padText(u"12345", 3, u' ', true, true), u"345");
    EXPECT_EQ(padText(u"12345", 3, u' ', false, true), u"123");
    EXPECT_EQ(trimText(u"\r\n\t a b \x01", true, false), u"a b \x01");
}

TEST(kelTextUtilsTest, CopyToBufferStopsAtTheLimitAndTerminates)
{
    char16_t buf[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(copyToBuffer(u"hello", buf, 3), 3u);
    EXPECT_EQ(kelString(buf), u"hel");
    EXPECT_EQ(copyToBuffer("abc", nullptr, 3), 0u);
    EXPECT_EQ(lastCharPos(u"/\\", u"a/b\\c/d"), 6u);
}
