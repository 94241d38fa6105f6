#include "audio/dsp/kelDSPDlib.h"
#include "tests/support/kelTestAudio.h"
#include "tests/support/kelTestDspHarness.h"

#include <gtest/gtest.h>

#include <cmath>

using kelTestAudio::testSignal;

namespace {

bool allFinite(const std::vector<float>& v)
{
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

} // namespace

TEST(kelDspRootTest, CreatesTheSevenTypesAndNothingElse)
{
    kelDspDLibRoot root;
    for (int32_t type = 1; type <= 7; ++type) {
        const kelDspHandle h = root.createObject(type);
        ASSERT_NE(h, 0u) << type;
        EXPECT_EQ(root.getID(h), type);
        EXPECT_TRUE(root.destroyObject(h));
    }
    EXPECT_EQ(root.createObject(0), 0u);
    EXPECT_EQ(root.createObject(8), 0u);
    EXPECT_STREQ(kelDspTypeName(1), "2 Band Parametric Equalizer");
    EXPECT_STREQ(kelDspTypeName(6), "Multiband Equalizer/Filter");
}

TEST(kelDspRootTest, UnknownOrFreedHandlesFailWithoutTouchingMemory)
{
    kelDspDLibRoot root;
    const kelDspHandle h = root.createObject(kelDspType_LD);
    ASSERT_TRUE(root.destroyObject(h));
    EXPECT_FALSE(root.destroyObject(h));
    EXPECT_FALSE(root.seti(h, c_dspParam_type, 1));
    EXPECT_FALSE(root.process(12345, 1));
    EXPECT_EQ(root.getID(h), 0);
    EXPECT_EQ(root.objectCount(), 0u);
}

TEST(kelDspRootTest, ParametersAreKeptPerKindAndUnsetOnesReadAsZero)
{
    kelTestDspHarness eq(kelDspType_EQ2B);
    kelDspDLibRoot& root = eq.root();
    EXPECT_FALSE(root.issetf(eq.obj(), c_dspParam_gain | 1));
    EXPECT_EQ(eq.getf(c_dspParam_gain | 1), 0.0f);
    EXPECT_EQ(eq.geti(c_dspParam_type | 1), 0);
    ASSERT_TRUE(eq.setf(c_dspParam_gain | 1, 2.5f));
    ASSERT_TRUE(eq.seti(c_dspParam_gain | 1, 7));
    EXPECT_TRUE(root.issetf(eq.obj(), c_dspParam_gain | 1));
    EXPECT_TRUE(root.isseti(eq.obj(), c_dspParam_gain | 1));
    EXPECT_FALSE(root.issetc(eq.obj(), c_dspParam_gain | 1));
    EXPECT_EQ(eq.getf(c_dspParam_gain | 1), 2.5f);
    EXPECT_EQ(eq.geti(c_dspParam_gain | 1), 7);

    // A value chunk is copied; an input chunk keeps the caller's pointer.
    std::vector<float> values{1, 2, 3};
    ASSERT_TRUE(root.setc(eq.obj(), c_dspParam_Q | 1, values.data(), 3));
    values[0] = 9;
    float* got = nullptr;
    intptr_t count = 0;
    ASSERT_TRUE(root.getc(eq.obj(), c_dspParam_Q | 1, got, count));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(got[0], 1.0f);
    ASSERT_TRUE(root.setc(eq.obj(), c_dspParam_input, values.data(), 3));
    ASSERT_TRUE(root.getc(eq.obj(), c_dspParam_input, got, count));
    EXPECT_EQ(got, values.data());
}

TEST(kelDspEQ2BTest, BothBandsOffCopiesInput)
{
    kelTestDspHarness eq(kelDspType_EQ2B);
    const auto in = testSignal(1000);
    ASSERT_TRUE(eq.run(in));
    EXPECT_EQ(eq.out(), in);
}

TEST(kelDspEQ2BTest, RefusesMismatchedOrShortChunksAndLeavesOutputAlone)
{
    kelTestDspHarness eq(kelDspType_EQ2B);
    std::vector<float> in(64, 0.5f), out(32, -1.0f);
    kelDspDLibRoot& root = eq.root();
    root.setc(eq.obj(), c_dspParam_input, in.data(), 64);
    root.setc(eq.obj(), c_dspParam_output, out.data(), 32);
    EXPECT_FALSE(root.process(eq.obj(), 32)); // lengths differ
    root.setc(eq.obj(), c_dspParam_output, out.data(), 32);
    root.setc(eq.obj(), c_dspParam_input, in.data(), 32);
    EXPECT_FALSE(root.process(eq.obj(), 33)); // more than the chunks hold
    EXPECT_EQ(out[0], -1.0f);

    // A per-sample chunk shorter than the block is refused, not read past its end.
    eq.seti(c_dspParam_type | 1, kelDspFilter_peaking);
    eq.setc(c_dspParam_gain | 1, std::vector<float>(31, 2.0f));
    EXPECT_FALSE(root.process(eq.obj(), 32));
    EXPECT_EQ(out[0], -1.0f);
    eq.setc(c_dspParam_gain | 1, std::vector<float>(32, 2.0f));
    EXPECT_TRUE(root.process(eq.obj(), 32));
}

TEST(kelDspEQ2BTest, PerSampleChunksOfConstantValuesMatchPlainFloats)
{
    const auto in = testSignal(2048);
    kelTestDspHarness plain(kelDspType_EQ2B), chunked(kelDspType_EQ2B);
    for (auto* eq : {&plain, &chunked}) {
        eq->seti(c_dspParam_type | 1, kelDspFilter_peaking);
        eq->seti(c_dspParam_type | 2, kelDspFilter_highShelf);
        eq->setf(c_dspParam_frequency | 2, 0.1f);
    }
    plain.setf(c_dspParam_gain | 1, 3.0f);
    plain.setf(c_dspParam_Q | 1, 2.0f);
    chunked.setc(c_dspParam_gain | 1, std::vector<float>(in.size(), 3.0f));
    chunked.setc(c_dspParam_Q | 1, std::vector<float>(in.size(), 2.0f));
    ASSERT_TRUE(plain.run(in));
    ASSERT_TRUE(chunked.run(in));
    EXPECT_EQ(plain.out(), chunked.out());
    EXPECT_NE(plain.out(), in);
}

TEST(kelDspEQ2BTest, HistoryCarriesAcrossBlocks)
{
    const auto in = testSignal(4000);
    kelTestDspHarness whole(kelDspType_EQ2B), split(kelDspType_EQ2B);
    for (auto* eq : {&whole, &split}) {
        eq->seti(c_dspParam_type | 1, kelDspFilter_lowPass);
        eq->seti(c_dspParam_type | 2, kelDspFilter_peaking);
        eq->setf(c_dspParam_gain | 2, 0.5f);
    }
    ASSERT_TRUE(whole.run(in));
    EXPECT_EQ(split.runBlocks(in, 333), whole.out());
}

TEST(kelDspLDTest, MeanSquareOfConstantHalfSettlesAtPoint706)
{
    kelTestDspHarness ld(kelDspType_LD);
    ASSERT_TRUE(ld.run(std::vector<float>(20000, 0.5f)));
    EXPECT_NEAR(ld.out().back(), std::sqrt(kelDspDB(6.0) * 0.25), 1e-5);
    EXPECT_NEAR(ld.out().back(), 0.706, 1e-3);
}

TEST(kelDspLDTest, PeakModeHoldsTheWindowMaximumThenReleases)
{
    kelTestDspHarness ld(kelDspType_LD);
    ld.seti(c_dspParam_type, 1);
    ld.setf(c_dspParam_attack, 0);
    ld.setf(c_dspParam_release, 0);
    ld.setf(c_dspParam_count, 8); // window of 4 samples
    std::vector<float> in(12, 0.0f);
    in[2] = -0.9f;
    in[3] = 0.3f;
    ASSERT_TRUE(ld.run(in));
    // With instant attack and release the output is the window maximum.
    const std::vector<float> want{0, 0, 0.9f, 0.9f, 0.9f, 0.9f, 0.3f, 0, 0, 0, 0, 0};
    EXPECT_EQ(ld.out(), want);
}

TEST(kelDspLDTest, PeakWindowMatchesABruteForceMaximumAcrossBlocks)
{
    kelTestDspHarness ld(kelDspType_LD);
    ld.seti(c_dspParam_type, 1);
    ld.setf(c_dspParam_attack, 0);
    ld.setf(c_dspParam_release, 0);
    ld.setf(c_dspParam_count, 37); // window of 19 samples
    // Noise with a falling envelope, so maxima keep leaving the window.
    auto in = testSignal(3000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] *= 1.0f - static_cast<float>(i % 500) / 600.0f;
    const auto out = ld.runBlocks(in, 71);
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        float want = 0;
        for (size_t k = i >= 18 ? i - 18 : 0; k <= i; ++k)
            want = std::max(want, std::fabs(in[k]));
        ASSERT_EQ(out[i], want) << i;
    }
}

TEST(kelDspLDTest, ZeroWindowAndZeroAttackFollowTheCurrentSample)
{
    kelTestDspHarness ld(kelDspType_LD);
    ld.seti(c_dspParam_type, 1);
    ld.setf(c_dspParam_attack, 0);
    ld.setf(c_dspParam_release, 0);
    ASSERT_TRUE(ld.run({0.1f, -0.7f, 0.2f, 0.0f}));
    EXPECT_EQ(ld.out(), (std::vector<float>{0.1f, 0.7f, 0.2f, 0.0f}));
    ld.setf(c_dspParam_attack, -1);
    EXPECT_FALSE(ld.run({0.1f}));
}

TEST(kelDspDynProcTest, UnityRatiosAndGainsLeaveTheSignalUnchanged)
{
    kelTestDspHarness dyn(kelDspType_DynProc);
    dyn.setf(c_dspParam_ratio, 1);
    dyn.setf(c_dspParam_ratio | 1, 1);
    const auto in = testSignal(4000);
    ASSERT_TRUE(dyn.run(in));
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_FLOAT_EQ(dyn.out()[i], in[i]) << i;
}

TEST(kelDspDynProcTest, CompressorReducesLoudSignalAndCountsSamplesOverThreshold)
{
    kelTestDspHarness dyn(kelDspType_DynProc);
    dyn.setf(c_dspParam_threshold, static_cast<float>(kelDspDB(-20)));
    dyn.setf(c_dspParam_ratio, 10);
    const auto in = kelTestAudio::sine(48000, 440, 48000, 0.9f);
    ASSERT_TRUE(dyn.run(in));
    float peakIn = 0, peakOut = 0;
    for (size_t i = 40000; i < in.size(); ++i) {
        peakIn = std::max(peakIn, std::fabs(in[i]));
        peakOut = std::max(peakOut, std::fabs(dyn.out()[i]));
    }
    EXPECT_LT(peakOut, peakIn * 0.5f);
    EXPECT_GT(dyn.geti(c_dspParam_count), 40000);
    EXPECT_TRUE(allFinite(dyn.out()));

    dyn.setf(c_dspParam_ratio, 0.01f); // below 0.02
    EXPECT_FALSE(dyn.run(in));
}

TEST(kelDspDynProcTest, SideChainMustMatchTheInputLength)
{
    kelTestDspHarness dyn(kelDspType_DynProc);
    std::vector<float> side(10, 1.0f);
    dyn.root().setc(dyn.obj(), c_dspParam_input | 1, side.data(), 10);
    EXPECT_FALSE(dyn.run(std::vector<float>(11, 0.1f)));
    EXPECT_TRUE(dyn.run(std::vector<float>(10, 0.1f)));
}

TEST(kelDspNDTest, SilenceGivesAFiniteEstimateAndNoiseRaisesIt)
{
    kelTestDspHarness nd(kelDspType_ND);
    nd.setf(c_dspParam_rate, 8000);
    nd.setf(c_dspParam_count, 0.1f);
    ASSERT_TRUE(nd.run(std::vector<float>(8000, 0.0f)));
    EXPECT_TRUE(allFinite(nd.out()));
    EXPECT_NEAR(nd.getf(c_dspParam_output), kelDspDB(-25), 1e-6);
    ASSERT_TRUE(nd.run(kelTestAudio::sine(16000, 1000, 8000, 0.5f)));
    EXPECT_TRUE(allFinite(nd.out()));
    EXPECT_GT(nd.getf(c_dspParam_output), kelDspDB(-25) * 4);
    EXPECT_EQ(nd.out().back(), nd.getf(c_dspParam_output));
}

TEST(kelDspEQMBTest, SingleFilterReadsOnlyItselfAndBadCountsFail)
{
    kelTestDspHarness eq(kelDspType_EQMB);
    eq.seti(c_dspParam_count, 1);
    // Values past the first filter must not matter: there is no second filter.
    eq.setc(c_dspParam_frequency, {0.02f, 0.4f});
    eq.setc(c_dspParam_gain, {2.0f, 0.01f});
    const auto in = testSignal(3000);
    ASSERT_TRUE(eq.run(in));
    const auto first = eq.out();
    EXPECT_TRUE(allFinite(first));
    kelTestDspHarness other(kelDspType_EQMB);
    other.seti(c_dspParam_count, 1);
    other.setc(c_dspParam_frequency, {0.02f, 0.1f});
    other.setc(c_dspParam_gain, {2.0f, 5.0f});
    ASSERT_TRUE(other.run(in));
    EXPECT_EQ(other.out(), first);

    eq.seti(c_dspParam_count, 33);
    EXPECT_FALSE(eq.run(in));
    eq.seti(c_dspParam_count, 3); // chunks hold only two values
    EXPECT_FALSE(eq.run(in));
}

TEST(kelDspEQMBTest, UnityGainsPassAndFiltersRunInSeries)
{
    kelTestDspHarness eq(kelDspType_EQMB);
    eq.seti(c_dspParam_count, 4);
    eq.setc(c_dspParam_frequency, {0.01f, 0.02f, 0.04f, 0.08f});
    eq.setc(c_dspParam_gain, {1, 1, 1, 1});
    const auto in = testSignal(2000);
    ASSERT_TRUE(eq.run(in));
    EXPECT_LT(kelTestAudio::maxAbsDiff(eq.out(), in), 1e-6);
    // A cut at one band lowers a sine there.
    eq.setc(c_dspParam_gain, {1, 1, 0.1f, 1});
    const auto tone = kelTestAudio::sine(8000, 0.04 * 48000, 48000, 0.5f);
    ASSERT_TRUE(eq.run(tone));
    EXPECT_LT(std::fabs(eq.out().back()) + std::fabs(eq.out()[7990]), 0.2f);
}

TEST(kelDspMbSpTest, EveryBandIsWrittenAndTheBandsSumToTheInput)
{
    kelDspDLibRoot root;
    const kelDspHandle sp = root.createObject(kelDspType_MbSp);
    for (float q : {0.7071f, 1.5f}) {
        constexpr int bands = 5;
        root.seti(sp, c_dspParam_count, bands);
        std::vector<float> xo{0.01f, 0.03f, 0.08f, 0.2f};
        root.setc(sp, c_dspParam_frequency, xo.data(), 4);
        root.setf(sp, c_dspParam_Q, q);
        auto in = testSignal(4096);
        std::vector<std::vector<float>> out(bands, std::vector<float>(in.size(), 123.0f));
        root.setc(sp, c_dspParam_input, in.data(), static_cast<intptr_t>(in.size()));
        for (int b = 0; b < bands; ++b)
            root.setc(sp, c_dspParam_output | static_cast<uint32_t>(b), out[b].data(),
                      static_cast<intptr_t>(in.size()));
        ASSERT_TRUE(root.process(sp, static_cast<intptr_t>(in.size())));
        for (int b = 0; b < bands; ++b)
            EXPECT_NE(out[b][100], 123.0f) << "band " << b;
        for (size_t i = 0; i < in.size(); ++i) {
            double sum = 0;
            for (int b = 0; b < bands; ++b)
                sum += out[b][i];
            ASSERT_NEAR(sum, in[i], 1e-6) << i;
        }
    }
}

TEST(kelDspMbSpTest, MissingBandOutputOrBadCountFails)
{
    kelDspDLibRoot root;
    const kelDspHandle sp = root.createObject(kelDspType_MbSp);
    std::vector<float> in(16, 0.1f), o0(16), o1(16);
    root.seti(sp, c_dspParam_count, 3);
    std::vector<float> xo{0.1f, 0.2f};
    root.setc(sp, c_dspParam_frequency, xo.data(), 2);
    root.setc(sp, c_dspParam_input, in.data(), 16);
    root.setc(sp, c_dspParam_output, o0.data(), 16);
    root.setc(sp, c_dspParam_output | 1, o1.data(), 16);
    EXPECT_FALSE(root.process(sp, 16)); // band 2 has no output
    root.seti(sp, c_dspParam_count, 2);
    EXPECT_TRUE(root.process(sp, 16));
    root.seti(sp, c_dspParam_count, 1);
    EXPECT_FALSE(root.process(sp, 16));
}

TEST(kelDspSpeechProcTest, VoiceChainRunsFiniteBoundedAndCountsGateSamples)
{
    kelTestDspHarness sp(kelDspType_SpeechProc);
    sp.setf(c_dspParam_rate, 16000);
    auto in = kelTestAudio::sine(32000, 300, 16000, 0.3f);
    const auto noise = testSignal(32000, 16000, 0.05f);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = (i > 16000 ? 0.0f : in[i]) + noise[i];
    const auto out = sp.runBlocks(in, 320);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(allFinite(out));
    float peak = 0;
    for (float x : out)
        peak = std::max(peak, std::fabs(x));
    EXPECT_LE(peak, 1.0f);
    EXPECT_GT(peak, 0.01f);
    EXPECT_GE(sp.geti(c_dspParam_count), 0);
    EXPECT_FALSE(sp.run({}));
}

TEST(kelDspMathTest, PowSpecialCases)
{
    EXPECT_EQ(kelDspPow(0.0, 1e-13), 1.0);
    EXPECT_EQ(kelDspPow(0.0, 0.5), 0.0);
    EXPECT_EQ(kelDspPow(2.0, 10.0), 1024.0);
    EXPECT_EQ(kelDspPow(2.0, -2.0), 0.25);
    EXPECT_EQ(kelDspPow(-2.0, 3.0), -8.0);
    EXPECT_NEAR(kelDspPow(2.0, 0.5), std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(kelDspDB(-6.0), 0.501187, 1e-6);
}

TEST(kelDspMathTest, InvalidArgumentsGiveAPassThrough)
{
    kelDspBiquadCoefs c;
    for (auto args : {std::array<double, 4>{6, 1, 0.1, 1},
                      {1, 1, 0.0, 1},
                      {1, 1, 0.5, 1},
                      {1, 0, 0.1, 1},
                      {2, 1, 0.1, 0},
                      {2, 1, NAN, 1}}) {
        EXPECT_FALSE(kelDspBiquadCoefficients(static_cast<int32_t>(args[0]), args[1], args[2], args[3], c));
        EXPECT_EQ(c.b0, 1.0);
        EXPECT_EQ(c.b1 + c.b2 + c.a1 + c.a2, 0.0);
    }
    EXPECT_TRUE(kelDspBiquadCoefficients(2, 0, 0.1, 1, c)); // a low-pass ignores the gain
}

TEST(kelDspSpeechProcTest, TargetLevelChunkOverridesTheFloat)
{
    const auto in = testSignal(8000, 16000, 0.2f);
    kelTestDspHarness byFloat(kelDspType_SpeechProc), byChunk(kelDspType_SpeechProc),
        other(kelDspType_SpeechProc);
    for (auto* sp : {&byFloat, &byChunk, &other})
        sp->setf(c_dspParam_rate, 16000);
    byFloat.setf(c_dspParam_threshold, 0.05f);
    byChunk.setf(c_dspParam_threshold, 0.001f);
    byChunk.setc(c_dspParam_threshold, {0.05f, 0.9f});
    other.setf(c_dspParam_threshold, 0.001f);
    const auto a = byFloat.runBlocks(in, 160);
    const auto b = byChunk.runBlocks(in, 160);
    const auto c = other.runBlocks(in, 160);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}
