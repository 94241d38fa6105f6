#include "audio/kel3GPPVAD.h"

#include "core/kel3GPPBasicOps.h"
#include "tests/support/kelTestVadSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace kelBasicOp;

// The saturation and rounding edges of the operators.
static_assert(add(32767, 1) == 32767 && sub(-32768, 1) == -32768 && abs_s(-32768) == 32767);
static_assert(shr(-1, 15) == -1 && shr(5, 20) == 0 && shr(-5, 1) == -3 && shr(1, -3) == 8 &&
              shr(1, -100) == 32767);
static_assert(shl(16384, 1) == 32767 && shl(-16385, 1) == -32768 && shl(1, 16) == 32767 && shl(0, 20) == 0 &&
              shl(-8, -2) == -2);
static_assert(mult(-1, 1) == -1 && mult(-32768, -32768) == 32767 && mult_r(-1, 1) == 0 &&
              mult_r(16384, 1) == 1);
static_assert(L_mult(-32768, -32768) == kMax32 && L_mac(kMax32 - 1, -32768, -32768) == kMax32 &&
              L_msu(kMin32, 1, 1) == kMin32);
static_assert(L_shl(0x40000000, 1) == kMax32 && L_shl(-0x40000001, 1) == kMin32 &&
              L_shl(-0x40000000, 1) == kMin32 && L_shl(3, 2) == 12 && L_shl(-8, -2) == -2 &&
              L_shr(-1, 40) == -1 && L_shr(8, -1) == 16);
static_assert(round_fx(0x7FFF8000) == 32767 && round_fx(0x00018000) == 2 && extract_h(-1) == -1 &&
              L_deposit_h(-32768) == kMin32);
static_assert(norm_s(0) == 0 && norm_s(-1) == 15 && norm_s(1) == 14 && norm_s(16384) == 0 &&
              norm_s(-16385) == 0 && norm_s(-16384) == 1);
static_assert(div_s(0, 5) == 0 && div_s(7, 7) == 32767 && div_s(1, 2) == 16384 && div_s(1, 3) == 10922 &&
              div_s(16383, 16384) == 32766 && div_s(6, 5) == 0);

namespace {

// A fresh detector per check; every decision is checked against the
// invariants that hold through the public interface.
struct kel3GPPVADTest : ::testing::Test
{
    vadStateOwner state{[] {
        vadState* s = nullptr;
        vadStateCreate(s);
        return s;
    }()};
    vadFrameInfo info;

    bool decide(const kelVadFrame& frame)
    {
        const bool speech = vadDecideFrame(state.get(), frame.data(), &info);
        const vadState& st = *state;
        for (size_t i = 0; i < kVadBands; ++i) {
            EXPECT_GE(st.bckr_est[i], 40);
            EXPECT_LE(st.bckr_est[i], 16000);
            EXPECT_GE(st.old_level[i], 0);
        }
        for (int16_t reg : {st.vadreg, st.pitch, st.tone, st.complex_high, st.complex_low})
            EXPECT_GE(reg, 0);
        EXPECT_GE(info.snrSum, 0);
        EXPECT_LE(info.snrSum, 3640);
        EXPECT_GE(info.threshold, 720);
        EXPECT_LE(info.threshold, 1260);
        EXPECT_EQ(st.speech_vad_decision, speech ? 1 : 0);
        return speech;
    }
    // The first frame index at which the decisions differ from `expected`
    // over `frames` frames of `source`; -1 when they agree throughout.
    template <class Source> int firstDifference(int frames, Source source, auto expected)
    {
        for (int f = 0; f < frames; ++f)
            if (decide(source()) != expected(f)) return f;
        return -1;
    }
};

} // namespace

TEST_F(kel3GPPVADTest, ResetWordsAndReferenceHandling)
{
    vadState expected{};
    for (size_t i = 0; i < kVadBands; ++i)
        expected.bckr_est[i] = expected.ave_level[i] = expected.old_level[i] = 150;
    expected.best_corr_hp = expected.corr_hp_fast = 13106;
    EXPECT_EQ(std::memcmp(state.get(), &expected, sizeof expected), 0);

    vadState* held = state.get();
    EXPECT_EQ(vadStateCreate(held), -1); // already set: left alone
    EXPECT_EQ(held, state.get());
    vadDecideFrame(state.get(), kelVadNoise(4).frame().data());
    EXPECT_EQ(vadStateReset(state.get()), 0);
    EXPECT_EQ(std::memcmp(state.get(), &expected, sizeof expected), 0);
    EXPECT_EQ(vadStateReset(nullptr), -1);

    EXPECT_FALSE(decide(kelVadConstantFrame(0)));
    EXPECT_EQ(info.noiseLevel, 168);
    EXPECT_EQ(info.threshold, 1245);

    // A freed reference is cleared, so nothing can decide on freed memory.
    vadState* own = nullptr;
    ASSERT_EQ(vadStateCreate(own), 0);
    vadStateFree(own);
    EXPECT_EQ(own, nullptr);
    vadStateFree(own);
    const kelVadFrame loud = kelVadToneFrame();
    EXPECT_FALSE(vadDecideFrame(own, loud.data()));
    EXPECT_FALSE(vadDecideFrame(state.get(), nullptr));
}

TEST_F(kel3GPPVADTest, ZerosAreNeverSpeechAndTheEstimatesSinkToTheFloor)
{
    const kelVadFrame zeros = kelVadConstantFrame(0);
    std::vector<int16_t> estimate;
    for (int f = 0; f < 60; ++f) {
        EXPECT_FALSE(decide(zeros)) << f;
        EXPECT_EQ(state->stat_count, 20) << f;
        EXPECT_EQ(state->burst_count | state->hang_count | state->complex_hang_count |
                      state->complex_hang_timer,
                  0);
        estimate.push_back(state->bckr_est[0]);
    }
    EXPECT_EQ(estimate[0], 152);
    EXPECT_EQ(estimate[1], 140);
    EXPECT_EQ(estimate[25], 40);
    EXPECT_EQ(info.noiseLevel, 45);
    EXPECT_EQ(info.threshold, 1256);
}

TEST_F(kel3GPPVADTest, LowPowerIsNeverSpeechAndCutsAHangover)
{
    for (int f = 0; f < 5; ++f)
        ASSERT_TRUE(decide(kelVadToneFrame()));
    ASSERT_GT(state->hang_count, 0);
    EXPECT_FALSE(decide(kelVadConstantFrame(6)));
    EXPECT_EQ(info.power, 11520);
    EXPECT_EQ(state->hang_count, 0);
    EXPECT_EQ(state->burst_count, 0);
    decide(kelVadConstantFrame(7));
    EXPECT_EQ(info.power, 15680);
    EXPECT_EQ(state->corr_hp_fast, 13106);
}

TEST(kel3GPPVADLevelTest, LevelsAddTheCarriedTail)
{
    const kelVadFrame hundreds = kelVadConstantFrame(100);
    struct Case
    {
        size_t band;
        int16_t first, carry, second;
    };
    for (const Case c : {Case{0, 2000, 400, 2400}, Case{8, 4000, 800, 4800}}) {
        int16_t carry = 0;
        EXPECT_EQ(vadBandLevel(hundreds.data(), carry, c.band), c.first) << c.band;
        EXPECT_EQ(carry, c.carry) << c.band;
        EXPECT_EQ(vadBandLevel(hundreds.data(), carry, c.band), c.second) << c.band;
    }
    const kelVadFrame full = kelVadConstantFrame(-32768);
    int16_t carry = 32767;
    EXPECT_EQ(vadBandLevel(full.data(), carry, 8), 32767); // saturates, never wraps
    EXPECT_EQ(vadBandLevel(full.data(), carry, 9), 0);
}

TEST_F(kel3GPPVADTest, ToneIsSpeechUntilItSinksIntoTheNoiseEstimate)
{
    // The tone flags come from a speech encoder; without one a steady tone
    // is stationary noise after about 1.2 s.
    const kelVadFrame tone = kelVadToneFrame();
    decide(tone);
    EXPECT_EQ(info.power, kMax32);
    EXPECT_EQ(std::vector<int16_t>(state->old_level, state->old_level + kVadBands),
              (std::vector<int16_t>{448, 442, 1116, 12568, 32767, 870, 316, 348, 516}));
    decide(tone);
    EXPECT_EQ(std::vector<int16_t>(state->old_level, state->old_level + kVadBands),
              (std::vector<int16_t>{24, 0, 2, 14976, 32767, 48, 48, 192, 384}));
    ASSERT_EQ(vadStateReset(state.get()), 0);
    EXPECT_EQ(firstDifference(
                  200, [&] { return tone; }, [](int f) { return f < 60; }),
              -1);
}

TEST_F(kel3GPPVADTest, GeneratorNoiseIsSpeechUntilTheEstimateCatchesUp)
{
    kelVadNoise noise(4);
    EXPECT_EQ(firstDifference(
                  400, [&] { return noise.frame(); }, [](int f) { return f < 99; }),
              -1);
    EXPECT_EQ(state->bckr_est[0], 1315);
    EXPECT_EQ(state->old_level[0], 1264);

    // Gaussian noise at rms 1000 (Box-Muller on the same generator) flips at
    // about frame 128; single frames of it may still be speech later.
    ASSERT_EQ(vadStateReset(state.get()), 0);
    kelVadNoise uniform(0);
    auto gaussian = [&] {
        kelVadFrame frame;
        for (auto& sample : frame) {
            const double u1 = (uniform.next() + 16384.5) / 32768.0, u2 = (uniform.next() + 16384.5) / 32768.0;
            sample = int16_t(
                std::lround(1000.0 * std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * 3.14159265358979 * u2)));
        }
        return frame;
    };
    int flip = -1;
    for (int f = 0; f < 300 && flip < 0; ++f)
        if (!decide(gaussian())) flip = f;
    EXPECT_GE(flip, 100);
    EXPECT_LE(flip, 160);
}

TEST_F(kel3GPPVADTest, BurstsArmTheHangoverByTheirLength)
{
    struct Case
    {
        int toneFrames, speechFrames;
    };
    // 1 tone frame: 2 intermediate frames, too short to arm the hangover.
    // 3: 4 intermediate frames and a 7-frame hangover. 10: 11 intermediate
    // frames, by when the noise level fell to 96, so the hangover is 4.
    for (const Case c : {Case{1, 2}, Case{3, 11}, Case{10, 15}}) {
        ASSERT_EQ(vadStateReset(state.get()), 0);
        kelVadNoise noise(9);
        for (int f = 0; f < 150; ++f)
            ASSERT_FALSE(decide(noise.frame())) << "background frame " << f;
        EXPECT_GT(info.noiseLevel, 100);
        int speech = 0, intermediate = 0, firstSilent = -1;
        for (int f = 0; f < 60; ++f) {
            const bool voiced = decide(f < c.toneFrames ? kelVadToneFrame() : noise.frame());
            intermediate += info.intermediate;
            if (voiced && firstSilent >= 0) ADD_FAILURE() << "speech again at frame " << f;
            if (!voiced && firstSilent < 0) firstSilent = f;
            speech += voiced;
        }
        EXPECT_EQ(speech, c.speechFrames) << c.toneFrames << " tone frames";
        EXPECT_EQ(firstSilent, c.speechFrames) << c.toneFrames << " tone frames";
        EXPECT_EQ(intermediate, c.toneFrames + 1) << c.toneFrames << " tone frames";
    }
}

// The correlation words are the encoder's; set by hand they drive the
// complex-signal path.
TEST_F(kel3GPPVADTest, ComplexSignalOverridesAndItsHangover)
{
    state->best_corr_hp = state->corr_hp_fast = 23000;
    kelVadNoise noise(9);
    for (int f = 0; f < 300; ++f) {
        ASSERT_TRUE(decide(noise.frame())) << f;
        ASSERT_EQ(state->corr_hp_fast, 23000);
        if (f < 100) {
            ASSERT_EQ(state->complex_hang_count, 0) << f; // the noise-period shortcut
        } else {
            ASSERT_EQ(state->complex_hang_count, 249) << f; // refilled each frame
            ASSERT_EQ(state->burst_count, 4) << f;
        }
    }
    state->best_corr_hp = kVadMinCorrelation;
    int more = 0;
    while (more < 1000 && decide(noise.frame()))
        ++more;
    EXPECT_EQ(more, 249);
}
