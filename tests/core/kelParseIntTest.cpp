#include "core/kelParseInt.h"

#include <gtest/gtest.h>

#include <charconv>
#include <climits>
#include <random>

TEST(kelParseIntTest, MarkersSignsAndErrorsFollowTheLibraryRules)
{
    EXPECT_EQ(parseInteger(u"  $1F  ", 7), 31);
    EXPECT_EQ(parseInteger(u"0x10", 7), 16);
    EXPECT_EQ(parseInteger(u"1Fh", 7), 31);
    EXPECT_EQ(parseInteger(u"12a!", 7), 7);
    EXPECT_EQ(parseInteger(u"12a!", 7, 10, true), 12); // "a" is no decimal digit
    EXPECT_EQ(parseInteger(u"12!a!3", 7, 10, true), 12);
    EXPECT_EQ(parseInteger(u"-0042", 7), -42);
    EXPECT_EQ(parseInteger(u"+-+5", 7), 5);
    EXPECT_EQ(parseInteger(u"", 7), 7);
    EXPECT_EQ(parseInteger(u"*5", 7, 10, true), 7); // a bad lead character is never ignored
    EXPECT_EQ(parseInteger(u"000", 7), 0);
    EXPECT_EQ(parseInteger("1 2", 7), 7);
    EXPECT_EQ(parseInteger(u"   ", 7), 7); // blanks or a bare marker hold no number
    EXPECT_EQ(parseInteger(u" h ", 7), 7);
    EXPECT_EQ(parseInteger(static_cast<const char*>(nullptr), 7), 7);
}

TEST(kelParseIntTest, TextThatIsNotANumberInItsBaseGivesTheDefault)
{
    struct Case
    {
        const char16_t* text;
        int base;
        bool ignoreErrors;
        int64_t expected;
    };
    const Case cases[] = {
        {u"loud", 10, false, 7}, // once read as 23713
        {u"loud", 10, true, 7},  // no digit left of the first bad one
        {u"1e3", 10, false, 7},
        {u"-", 10, false, 7},
        {u"+-", 10, true, 7},
        {u"0x1G", 10, false, 7}, // "G" is past the hexadecimal digits
        {u"$ABCDEFG", 10, true, 0xABCDEF},
        {u"high", 10, false, 7}, // the trailing "h" marker leaves "hig"
        {u"102", 2, false, 7},
        {u"102", 2, true, 2},
        {u"8", 8, false, 7},
        {u"g", 16, false, 7},
        {u"-0z", 10, true, 0}, // a zero was read, so it is a number
        {u"Z", 36, false, 35},
        {u"44100", 10, false, 44100},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(parseInteger(cases[i].text, 7, cases[i].base, cases[i].ignoreErrors), cases[i].expected)
            << "case " << i;
}

TEST(kelParseIntTest, BasesOtherThanTen)
{
    EXPECT_EQ(parseInteger(u"1011", 7, 2), 11);
    EXPECT_EQ(parseInteger(u"-ff", 7, 16), -255);
    EXPECT_EQ(parseInteger(u"$ff", 7, 16), 7); // markers belong to base 10 only
    EXPECT_EQ(parseInteger(u"zz", 7, 36), 1295);
    EXPECT_EQ(parseInteger(u"-5", 7, 20), 7); // no sign handling above base 16
    EXPECT_EQ(parseInteger(u"5", 7, 1), 7);
    EXPECT_EQ(parseInteger(u"5", 7, 37), 7);
}

TEST(kelParseIntTest, OverflowGivesTheDefaultWithoutWrapping)
{
    EXPECT_EQ(parseInteger(u"18446744073709551616", 7), 7);
    EXPECT_EQ(parseInteger(u"99999999999999999999999", 7, 10, true), 7);
    EXPECT_EQ(parseInteger(u"$FFFFFFFFFFFFFFFF", 7), -1); // 64-bit patterns read back
    EXPECT_EQ(parseInteger(u"$1FFFFFFFFFFFFFFFF", 7), 7);
    EXPECT_EQ(parseInteger(u"-9223372036854775808", 7), INT64_MIN);
    EXPECT_EQ(parseInteger(u"9223372036854775807", 7), INT64_MAX);
    // Leading zeros of a big base carry no weight that could overflow.
    EXPECT_EQ(parseInteger(u"00000000000000000000000000000001", 7, 36), 1);
}

TEST(kelParseIntTest, ParseBooleanUsesMinusOneForTrue)
{
    EXPECT_TRUE(parseBoolean(u"-1", false));
    EXPECT_FALSE(parseBoolean(u"0", true));
    EXPECT_TRUE(parseBoolean(u"yes", true));
    EXPECT_FALSE(parseBoolean("", false));
}

TEST(kelParseIntTest, FormattingGroupsSignsAndBases)
{
    EXPECT_EQ(formatInteger(-1234567, 10, 3, u' '), u"-1,234,567"); // the C locale has no separator: ","
    EXPECT_EQ(formatInteger(-1234567, 10, 3, u'.'), u"-1.234.567");
    EXPECT_EQ(formatInteger(255, 16), u"FF");
    EXPECT_EQ(formatInteger(0, 99), u"0");
    EXPECT_EQ(formatInteger(5, 70), u"");
    EXPECT_EQ(formatUnsigned(68, 69), u"#");
    EXPECT_EQ(formatInteger(INT64_MIN), u"-9223372036854775808");
    EXPECT_EQ(formatUnsigned(UINT64_MAX, 10, 3), u"18,446,744,073,709,551,615");
    EXPECT_EQ(formatInteger8(-255, 16, 1, '_'), "-F_F");
}

TEST(kelParseIntTest, FormatAndParseAgreeWithTheStandardLibrary)
{
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 2000; ++i) {
        const int base = 2 + i % 35;
        int64_t v = static_cast<int64_t>(rng()) >> (rng() % 64);
        if (base > 16 && v < 0) v = -(v + 1); // no signs above base 16
        char buf[80];
        const auto r = std::to_chars(buf, buf + sizeof buf, v, base);
        std::string expected(buf, r.ptr);
        for (char& c : expected)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_EQ(formatInteger8(v, base), expected) << "base " << base;
        ASSERT_EQ(parseInteger(expected, 7, base), v) << expected << " base " << base;
    }
}
