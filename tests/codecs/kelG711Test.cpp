#include "codecs/kelG711.h"

#include "tests/support/kelTestCodecs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

std::vector<int16_t> everySample()
{
    std::vector<int16_t> s(65536);
    for (int i = 0; i < 65536; ++i)
        s[size_t(i)] = int16_t(i - 32768);
    return s;
}

std::vector<uint8_t> everyCode()
{
    std::vector<uint8_t> c(256);
    for (int i = 0; i < 256; ++i)
        c[size_t(i)] = uint8_t(i);
    return c;
}

// The width of the quantisation interval that `code` stands for, in 16-bit
// units, from the segment in its bits 6..4.
int alawInterval(uint8_t code)
{
    const int segment = ((code ^ 0x55) >> 4) & 7;
    return segment <= 1 ? 16 : 16 << (segment - 1);
}

int ulawInterval(uint8_t code)
{
    const int segment = ((~code) >> 4) & 7;
    return 8 << segment;
}

} // namespace

TEST(kelG711Test, CompressionMatchesTheReferenceTablesForEverySample)
{
    const std::string alawRef = kelCodecVector("alaw_compress.bin");
    const std::string ulawRef = kelCodecVector("ulaw_compress.bin");
    ASSERT_EQ(alawRef.size(), 65536u);
    ASSERT_EQ(ulawRef.size(), 65536u);
    const auto samples = everySample();
    std::vector<uint8_t> alaw(samples.size()), ulaw(samples.size());
    alawCompress(samples.size(), samples.data(), alaw.data());
    ulawCompress(samples.size(), samples.data(), ulaw.data());
    int mismatches = 0;
    for (size_t i = 0; i < samples.size() && mismatches < 10; ++i) {
        const auto a = uint8_t(alawRef[i]), u = uint8_t(ulawRef[i]);
        if (alaw[i] != a || ulaw[i] != u || alawCompressSample(samples[i]) != a ||
            ulawCompressSample(samples[i]) != u) {
            ++mismatches;
            ADD_FAILURE() << "sample " << samples[i] << ": A-law " << int(alaw[i]) << " want " << int(a)
                          << ", µ-law " << int(ulaw[i]) << " want " << int(u);
        }
    }
}

TEST(kelG711Test, ExpansionMatchesTheReferenceTablesForEveryCode)
{
    const auto alawRef = kelSamplesFromBytes(kelCodecVector("alaw_expand.bin"));
    const auto ulawRef = kelSamplesFromBytes(kelCodecVector("ulaw_expand.bin"));
    ASSERT_EQ(alawRef.size(), 256u);
    ASSERT_EQ(ulawRef.size(), 256u);
    const auto codes = everyCode();
    std::vector<int16_t> alaw(256), ulaw(256);
    alawExpand(codes.size(), codes.data(), alaw.data());
    ulawExpand(codes.size(), codes.data(), ulaw.data());
    EXPECT_EQ(alaw, alawRef);
    EXPECT_EQ(ulaw, ulawRef);
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(alawExpandSample(uint8_t(c)), alawRef[size_t(c)]) << c;
        EXPECT_EQ(ulawExpandSample(uint8_t(c)), ulawRef[size_t(c)]) << c;
    }
}

TEST(kelG711Test, SilenceHasTheKnownCodes)
{
    EXPECT_EQ(ulawCompressSample(0), 0xFF);
    EXPECT_EQ(ulawExpandSample(0xFF), 0);
    EXPECT_EQ(alawCompressSample(0), 0xD5);
    EXPECT_EQ(alawExpandSample(0xD5), 8);
    // The reference tools take -1 as magnitude 0: it codes as the negative zero.
    EXPECT_EQ(ulawCompressSample(-1), 0x7F);
    EXPECT_EQ(alawCompressSample(-1), 0x55);
    EXPECT_EQ(alawExpandSample(0x55), -8);
    // Full scale.
    EXPECT_EQ(alawExpandSample(alawCompressSample(32767)), 32256);
    EXPECT_EQ(alawExpandSample(alawCompressSample(-32768)), -32256);
    EXPECT_EQ(ulawExpandSample(ulawCompressSample(32767)), 32124);
    EXPECT_EQ(ulawExpandSample(ulawCompressSample(-32768)), -32124);
}

// Independent of the tables: every sample comes back within the interval of
// the segment it was coded in, on its own side of zero.
TEST(kelG711Test, EverySampleRoundTripsWithinItsSegmentInterval)
{
    const auto samples = everySample();
    std::vector<uint8_t> codes(samples.size());
    std::vector<int16_t> back(samples.size());
    for (int law = 0; law < 2; ++law) {
        (law == 0 ? alawCompress : ulawCompress)(samples.size(), samples.data(), codes.data());
        (law == 0 ? alawExpand : ulawExpand)(codes.size(), codes.data(), back.data());
        int failures = 0;
        for (size_t i = 0; i < samples.size() && failures < 10; ++i) {
            const int x = samples[i], y = back[i];
            const int interval = law == 0 ? alawInterval(codes[i]) : ulawInterval(codes[i]);
            // Beyond the last decision level the top code stands for the rest.
            const int limit = law == 0 ? 32256 + 1024 : 32124 + 1024;
            const bool sameSide = y == 0 || (x >= 0) == (y > 0);
            if (std::abs(x - y) > interval || !sameSide || std::abs(y) > limit) {
                ++failures;
                ADD_FAILURE() << (law == 0 ? "A-law " : "µ-law ") << x << " -> " << int(codes[i]) << " -> "
                              << y;
            }
        }
    }
}
