#include "core/kelUtf.h"

#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <random>

namespace {

kelString units(std::initializer_list<char16_t> u)
{
    return kelString(u);
}

std::string bytes(std::initializer_list<uint8_t> b)
{
    return std::string(b.begin(), b.end());
}

std::string asUtf16le(const kelString& s)
{
    std::string out;
    for (const char16_t u : s) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

// Random text of valid code points from every encoding length.
kelString randomText(std::mt19937& rng, size_t n)
{
    kelString s;
    std::uniform_int_distribution<int> kind(0, 3);
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp;
        switch (kind(rng)) {
        case 0:
            cp = 1 + rng() % 0x7F;
            break;
        case 1:
            cp = 0x80 + rng() % (0x800 - 0x80);
            break;
        case 2:
            cp = 0x800 + rng() % (0xD800 - 0x800);
            break;
        default:
            cp = 0x10000 + rng() % 0x100000;
            break;
        }
        if (cp > 0xFFFF) {
            s.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            s.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            s.push_back(static_cast<char16_t>(cp));
        }
    }
    return s;
}

} // namespace

TEST(kelUtfTest, DecodesMultiByteSequencesAndKeepsTheByteOrderMark)
{
    EXPECT_EQ(utf8ToUtf16(bytes({0x41, 0xC3, 0xA9})), units({u'A', 0x00E9}));
    EXPECT_EQ(utf8ToUtf16(bytes({0xF0, 0x9F, 0x98, 0x80})), units({0xD83D, 0xDE00}));
    EXPECT_EQ(utf8ToUtf16(bytes({0xEF, 0xBB, 0xBF, 0x41})), units({0xFEFF, u'A'}));
    EXPECT_EQ(utf8ToUtf16(nullptr, 5), u"");
}

TEST(kelUtfTest, EncodesEveryLengthUpToSixBytes)
{
    EXPECT_EQ(codePointToUtf8(0x1FFFFF), bytes({0xF7, 0xBF, 0xBF, 0xBF}));
    EXPECT_EQ(codePointToUtf8(0x7FFFFFFF), bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}));
    EXPECT_EQ(codePointToUtf8(-1), "");
}

TEST(kelUtfTest, BadInputDecodesToReplacementNeverToZero)
{
    const char16_t R = kelReplacementChar;
    EXPECT_EQ(utf8ToUtf16(bytes({0x41, 0xC3})), units({u'A', R})); // cut off by the end
    EXPECT_EQ(utf8ToUtf16(bytes({0xE2, 0x82})), units({R}));
    EXPECT_EQ(utf8ToUtf16(bytes({0xC3, 0x41, 0x42})), units({R, u'A', u'B'})); // the ASCII byte survives
    EXPECT_EQ(utf8ToUtf16(bytes({0x80, 0x41})), units({R, u'A'}));             // stray continuation
    EXPECT_EQ(utf8ToUtf16(bytes({0xFE, 0xFF, 0x41})), units({R, R, u'A'}));
    EXPECT_EQ(utf8ToUtf16(bytes({0xC0, 0x80, 0x41})), units({R, u'A'})); // overlong 0
    EXPECT_EQ(utf8ToUtf16(bytes({0xE0, 0x80, 0xAF})), units({R}));       // overlong '/'
    EXPECT_EQ(utf8ToUtf16(bytes({0xF4, 0x90, 0x80, 0x80})), units({R})); // above U+10FFFF
    EXPECT_EQ(utf8ToUtf16(codePointToUtf8(0x7FFFFFFF)), units({R}));
    // A bad sequence in the middle no longer ends a zero-terminated result.
    const kelString s = utf8ToUtf16(bytes({0x61, 0xFE, 0x62}));
    EXPECT_EQ(kelString(s.c_str()), units({u'a', R, u'b'}));
}

TEST(kelUtfTest, OnlyRealPairsCombineAndLoneSurrogatesRoundTrip)
{
    // A high surrogate followed by a non-low unit is not combined with it.
    EXPECT_EQ(utf16ToUtf8(units({0xD83D, u'A'})), bytes({0xED, 0xA0, 0xBD, 0x41}));
    EXPECT_EQ(utf16ToUtf8(units({0xD83D, 0xD83D, 0xDE00})),
              bytes({0xED, 0xA0, 0xBD, 0xF0, 0x9F, 0x98, 0x80}));
    // A high surrogate at the very end keeps its value instead of becoming 0.
    EXPECT_EQ(utf16ToUtf8(units({u'a', 0xD83D})), bytes({0x61, 0xED, 0xA0, 0xBD}));
    // A pair split across two texts joins again after decoding.
    const kelString joined =
        utf8ToUtf16(utf16ToUtf8(units({0xD83D}))) + utf8ToUtf16(utf16ToUtf8(units({0xDE00})));
    EXPECT_EQ(utf16ToUtf8(joined), bytes({0xF0, 0x9F, 0x98, 0x80}));
}

TEST(kelUtfTest, AgreesWithIconvOnValidText)
{
    if (!kelTestProcess::available("iconv"))
        GTEST_SKIP() << "iconv is not installed: no reference to compare with";
    std::mt19937 rng(99);
    for (int round = 0; round < 8; ++round) {
        const kelString text = randomText(rng, 50 + 300 * static_cast<size_t>(round));
        const auto utf8 = kelTestProcess::filter("iconv -f UTF-16LE -t UTF-8", asUtf16le(text));
        ASSERT_TRUE(utf8.has_value());
        EXPECT_EQ(utf16ToUtf8(text), *utf8);
        const auto back = kelTestProcess::filter("iconv -f UTF-8 -t UTF-16LE", *utf8);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(asUtf16le(utf8ToUtf16(*utf8)), *back);
    }
}
