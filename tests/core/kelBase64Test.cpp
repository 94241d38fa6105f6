#include "core/kelBase64.h"

#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string randomBytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

} // namespace

TEST(kelBase64Test, PaddingOfTheLastGroup)
{
    EXPECT_EQ(encodeBase64(""), "");
    EXPECT_EQ(encodeBase64("M"), "TQ==");
    EXPECT_EQ(encodeBase64("Ma"), "TWE=");
    EXPECT_EQ(encodeBase64("Man"), "TWFu");
    EXPECT_EQ(encodeBase64(nullptr, 3), "");
}

TEST(kelBase64Test, DecodeSkipsEverythingOutsideTheAlphabet)
{
    EXPECT_EQ(decodeBase64("TWFu\r\nTWFu"), "ManMan");
    EXPECT_EQ(decodeBase64("TQ"), "M");      // a final group of two gives one byte
    EXPECT_EQ(decodeBase64("TWE"), "Ma");    // of three, two
    EXPECT_EQ(decodeBase64("TWFuT"), "Man"); // a lone last character gives nothing
    // "=" inside the text is skipped like any other outsider: the groups run on.
    EXPECT_EQ(decodeBase64("TQ==TWFu"), decodeBase64("TQTWFu"));
    EXPECT_EQ(decodeBase64(u"T\u00E9W\u20ACFu"), "Man");
    EXPECT_EQ(decodeBase64("!!!"), "");
}

TEST(kelBase64Test, AgreesWithCoreutilsBase64)
{
    if (!kelTestProcess::available("base64")) GTEST_SKIP() << "base64 (coreutils) is not installed";
    std::mt19937 rng(7);
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 57u, 58u, 59u, 1000u, 4099u}) {
        const std::string data = randomBytes(rng, n);
        const auto ref = kelTestProcess::filter("base64 -w0", data);
        ASSERT_TRUE(ref.has_value());
        EXPECT_EQ(encodeBase64(data), *ref) << n << " bytes";
        // The tool's default output is wrapped at 76 columns; line breaks are skipped.
        const auto wrapped = kelTestProcess::filter("base64", data);
        ASSERT_TRUE(wrapped.has_value());
        EXPECT_EQ(decodeBase64(*wrapped), data) << n << " bytes";
        const auto decoded = kelTestProcess::filter("base64 -d", encodeBase64(data));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, data) << n << " bytes";
    }
}
