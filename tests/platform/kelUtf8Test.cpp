#include "platform/kelUtf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string lenient(const std::string& b)
{
    return kelUtf8ToUtf16(reinterpret_cast<const uint8_t*>(b.data()), b.size());
}

bool strict(const std::string& b, std::u16string& out)
{
    return kelUtf8ToUtf16Strict(reinterpret_cast<const uint8_t*>(b.data()), b.size(), out);
}

// The two policies must agree wherever the input is well-formed: the strict
// decoder accepts exactly the inputs that the lenient one decodes into a
// text that encodes back to the same bytes.
void expectAgreement(const std::string& bytes)
{
    std::u16string s;
    const bool ok = strict(bytes, s);
    const std::u16string l = lenient(bytes);
    std::string back;
    const bool faithful = kelUtf16ToUtf8Strict(l, back) && back == bytes;
    ASSERT_EQ(ok, faithful) << testing::PrintToString(bytes);
    if (ok) {
        ASSERT_EQ(s, l) << testing::PrintToString(bytes);
    }
}

} // namespace

TEST(kelUtf8Test, StrictAndLenientDecodersAgreeOnEveryShortInput)
{
    for (int a = 0; a < 256; ++a) {
        expectAgreement(std::string(1, char(a)));
        for (int b = 0; b < 256; ++b)
            expectAgreement(std::string{char(a), char(b)});
    }
    // Every three-byte form, and the edges of the four-byte range.
    for (int a = 0xE0; a <= 0xEF; ++a)
        for (int b = 0x70; b < 0xD0; ++b)
            for (int c = 0x70; c < 0xD0; ++c)
                expectAgreement(std::string{char(a), char(b), char(c)});
    for (const char* four : {"\xF0\x90\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                             "\xF8\x88\x80\x80\x80", "\xF0\x9F\x98"})
        expectAgreement(four);
}

TEST(kelUtf8Test, StrictConversionsLeaveTheOutputAloneOnRefusal)
{
    std::u16string text = u"keep";
    EXPECT_FALSE(strict("ab\xED\xA0\x80", text)) << "an encoded surrogate is not UTF-8";
    EXPECT_FALSE(strict("ab\xC3", text)) << "cut short";
    EXPECT_EQ(text, u"keep");
    std::string bytes = "\xEF\xBB\xBF";
    EXPECT_FALSE(kelUtf16ToUtf8Strict(std::u16string{u'a', char16_t(0xDC00)}, bytes));
    EXPECT_EQ(bytes, "\xEF\xBB\xBF");
    EXPECT_TRUE(kelUtf16ToUtf8Strict(u"\U0001F600", bytes));
    EXPECT_EQ(bytes, "\xEF\xBB\xBF\xF0\x9F\x98\x80");
}

TEST(kelUtf8Test, ReadTellsHowFarABadSequenceReaches)
{
    const auto read = [](const std::string& b) {
        return kelUtf8Read(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    };
    EXPECT_EQ(read("\x80").length, 1u);
    EXPECT_EQ(read("\xE2\x82"
                   "A")
                  .length,
              2u)
        << "the 'A' starts the next character";
    EXPECT_EQ(read("\xE0\x80\xAF").length, 3u) << "an overlong form is taken whole";
    EXPECT_EQ(read("\xED\xA0\x80").kind, kelUtf8Kind::surrogate);
    EXPECT_EQ(read("\xED\xA0\x80").codePoint, 0xD800u);
    EXPECT_EQ(read("\xF4\x90\x80\x80").kind, kelUtf8Kind::bad);
}
