// The cookbook biquads against two independent references on the same
// input: sox's filter effects (the same cookbook, computed by another
// program) and a plain direct-form filter in python3. Skipped with a
// message when the tool is missing.

#include "audio/dsp/kelDSPDlib.h"
#include "tests/support/kelTestAudio.h"
#include "tests/support/kelTestDspHarness.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int c_rate = 48000;

struct FilterCase
{
    int type;
    double gainDb, hz, q;
    std::string soxEffect;
};

// sox gives gains in dB and the width as a Q; our gain is the linear factor.
const FilterCase c_cases[] = {
    {kelDspFilter_peaking, 6, 1000, 2, "equalizer 1000 2q 6"},
    {kelDspFilter_peaking, -9, 3500, 0.7, "equalizer 3500 0.7q -9"},
    {kelDspFilter_lowPass, 0, 2000, 0.7071, "lowpass 2000 0.7071q"},
    {kelDspFilter_highPass, 0, 500, 1.2, "highpass 500 1.2q"},
    {kelDspFilter_lowShelf, 5, 300, 0.7071, "bass 5 300 0.7071q"},
    {kelDspFilter_highShelf, -4, 6000, 0.9, "treble -4 6000 0.9q"},
};

std::vector<float> ours(const FilterCase& fc, const std::vector<float>& in)
{
    kelTestDspHarness eq(kelDspType_EQ2B);
    eq.seti(c_dspParam_type | 1, fc.type);
    eq.setf(c_dspParam_gain | 1, static_cast<float>(kelDspDB(fc.gainDb)));
    eq.setf(c_dspParam_frequency | 1, static_cast<float>(fc.hz / c_rate));
    eq.setf(c_dspParam_Q | 1, static_cast<float>(fc.q));
    return eq.runBlocks(in, 960);
}

} // namespace

// sox carries samples as 32-bit integers between its effects and we keep
// the parameters as floats; across these cases the largest difference
// measured was 3.4e-8 of full scale, so 1e-6 leaves room without letting a
// wrong coefficient through (those differ by 1e-3 and more).
TEST(kelDspReferenceTest, BiquadTypesMatchSoxEffects)
{
    const auto in = kelTestAudio::testSignal(c_rate / 2, c_rate, 0.25f);
    if (!kelTestAudio::soxEffect(in, c_rate, "gain 0")) GTEST_SKIP() << "sox is not installed";
    for (const auto& fc : c_cases) {
        const auto want = kelTestAudio::soxEffect(in, c_rate, fc.soxEffect);
        ASSERT_TRUE(want) << fc.soxEffect;
        const auto got = ours(fc, in);
        ASSERT_EQ(got.size(), want->size()) << fc.soxEffect;
        EXPECT_LT(kelTestAudio::maxAbsDiff(got, *want), 1e-6) << fc.soxEffect;
    }
}

// The reference filters in double precision from the same float
// parameters; the outputs measured identical, 1e-7 allows for a different
// order of the same additions.
TEST(kelDspReferenceTest, BiquadTypesMatchPythonDirectForm)
{
    const auto in = kelTestAudio::testSignal(8000, c_rate, 0.5f);
    if (!kelTestAudio::pythonBiquad(in, 1, 1, 0.1, 1)) GTEST_SKIP() << "python3 is not installed";
    for (const auto& fc : c_cases) {
        const double gain = static_cast<float>(kelDspDB(fc.gainDb));
        const double freq = static_cast<float>(fc.hz / c_rate);
        const double q = static_cast<float>(fc.q);
        const auto want = kelTestAudio::pythonBiquad(in, fc.type, gain, freq, q);
        ASSERT_TRUE(want);
        EXPECT_LT(kelTestAudio::maxAbsDiff(ours(fc, in), *want), 1e-7) << fc.soxEffect;
    }
}
