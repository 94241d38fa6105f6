#include "audio/dsp/kelDSPLibAutomation.h"
#include "core/kelBase64.h"
#include "core/kelParseInt.h"
#include "tests/support/kelTestAudio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// An automat on its own root, freed before the root.
struct AutomatFixture : ::testing::Test
{
    kelDspDLibRoot root;
    kelOwned<kelDSPLibAutomat> automat{kelDSPLibAutomat::create(&root)};
};

std::vector<int16_t> pcm16(const std::vector<float>& left, const std::vector<float>& right)
{
    std::vector<int16_t> out;
    for (size_t i = 0; i < left.size(); ++i) {
        out.push_back(static_cast<int16_t>(left[i] * 32767));
        if (!right.empty()) out.push_back(static_cast<int16_t>(right[i] * 32767));
    }
    return out;
}

void addEqualiser(kelDSPLibAutomat& a)
{
    const kelDspHandle eq = a.dspl_objNew(kelDspType_EQ2B);
    ASSERT_NE(eq, 0u);
    ASSERT_TRUE(a.dspl_obj_seti(eq, c_dspParam_type | 1, kelDspFilter_peaking));
    ASSERT_TRUE(a.dspl_obj_setf(eq, c_dspParam_gain | 1, 4.0f));
    ASSERT_TRUE(a.dspl_obj_setf(eq, c_dspParam_frequency | 1, 0.02f));
    ASSERT_TRUE(a.dspl_obj_setf(eq, c_dspParam_Q | 1, 0.8f));
}

} // namespace

TEST(kelDSPLibPCMTest, ConversionClampsInsteadOfWrappingAround)
{
    const std::vector<float> in{0.0f, 0.25f, -0.25f, 1.5f, -1.5f, 0.9f, -0.9f};
    uint8_t b8[7];
    kelDspFloatToPcm(in.data(), 8, 1, 0, 7, b8);
    EXPECT_EQ(b8[0], 128);
    EXPECT_EQ(b8[1], 191); // trunc(0.25 * 255 + 128)
    EXPECT_EQ(b8[3], 255);
    EXPECT_EQ(b8[4], 0);
    EXPECT_EQ(b8[5], 255); // 0.9 * 255 + 128 = 357.5 saturates
    EXPECT_EQ(b8[6], 0);
    int16_t s16[7];
    kelDspFloatToPcm(in.data(), 16, 1, 0, 7, reinterpret_cast<uint8_t*>(s16));
    EXPECT_EQ(s16[1], 8191);
    EXPECT_EQ(s16[3], 32767);
    EXPECT_EQ(s16[4], -32767);
    int32_t s24[7];
    kelDspFloatToPcm(in.data(), 24, 1, 0, 7, reinterpret_cast<uint8_t*>(s24));
    EXPECT_EQ(s24[3], 8388607);
    EXPECT_EQ(s24[4], -8388607);
}

TEST(kelDSPLibPCMTest, ReadsOneChannelOfEachWidth)
{
    const uint8_t b8[4] = {0, 255, 128, 1};
    float out[2];
    kelDspPcmToFloat(b8, 8, 2, 1, 2, out);
    EXPECT_FLOAT_EQ(out[0], 127 / 255.0f);
    EXPECT_FLOAT_EQ(out[1], -127 / 255.0f);
    const int16_t s16[4] = {1, -32767, 2, 16384};
    kelDspPcmToFloat(reinterpret_cast<const uint8_t*>(s16), 16, 2, 1, 2, out);
    EXPECT_FLOAT_EQ(out[0], -1.0f);
    EXPECT_FLOAT_EQ(out[1], 16384 / 32767.0f);
    // 24-bit samples use the low three bytes of their container.
    const int32_t s24[2] = {-8388607, 0x7FC00000};
    kelDspPcmToFloat(reinterpret_cast<const uint8_t*>(s24), 24, 1, 0, 2, out);
    EXPECT_FLOAT_EQ(out[0], -1.0f);
    EXPECT_FLOAT_EQ(out[1], -4194304 / 8388607.0f);
    const float f32[2] = {0.5f, -2.0f};
    kelDspPcmToFloat(reinterpret_cast<const uint8_t*>(f32), 32, 1, 0, 2, out);
    EXPECT_EQ(out[1], -2.0f);
}

TEST_F(AutomatFixture, FormatChecksAndSampleCounts)
{
    EXPECT_EQ(automat->bytes2samples(100), 0); // no format yet: no division by 0
    EXPECT_EQ(automat->setFormat(0, 16, 1, false), c_dspE_FAIL);
    EXPECT_EQ(automat->setFormat(48000, 12, 1, false), c_dspE_FAIL);
    EXPECT_EQ(automat->setFormat(48000, 16, 0, false), c_dspE_FAIL);
    ASSERT_EQ(automat->setFormat(48000, 24, 3, false), 0);
    EXPECT_EQ(automat->bytes2samples(120), 10);
    EXPECT_EQ(automat->subAutoCount(), 2);
    ASSERT_EQ(automat->setFormat(8000, 8, 2, true), 0);
    EXPECT_EQ(automat->subAutoCount(), 0);
    EXPECT_EQ(automat->bytes2samples(7), 3);
}

TEST_F(AutomatFixture, EmptyChainCopiesInputAndLeavesTheBlock)
{
    ASSERT_EQ(automat->setFormat(48000, 16, 1, false), 0);
    auto block = pcm16(kelTestAudio::testSignal(480), {});
    const auto before = block;
    ASSERT_EQ(automat->processChunk(block.data(), static_cast<intptr_t>(block.size() * 2), 0, -1, true), 0);
    EXPECT_EQ(block, before);
    const float* out = nullptr;
    intptr_t n = 0;
    ASSERT_EQ(automat->getOutData(0, out, n), 0);
    ASSERT_EQ(n, 480);
    EXPECT_FLOAT_EQ(out[5], before[5] / 32767.0f);
    EXPECT_EQ(automat->getOutData(1, out, n), c_dspE_FAIL);
}

TEST_F(AutomatFixture, RecordsParametersButNotConnections)
{
    const kelDspHandle eq = automat->dspl_objNew(kelDspType_EQ2B);
    ASSERT_NE(eq, 0u);
    EXPECT_EQ(automat->dspl_objNew(99), 0u);
    EXPECT_EQ(automat->dspl_objCount(), 1);
    EXPECT_EQ(automat->dspl_objIndex(eq), 0);
    float v = 1.0f;
    ASSERT_TRUE(automat->dspl_obj_setf(eq, c_dspParam_gain | 1, v));
    std::vector<float> scratch(4);
    ASSERT_TRUE(automat->dspl_obj_setc(eq, c_dspParam_input | 1, scratch));
    const kelString name = formatUnsigned(eq) + u"." + formatUnsigned(c_dspParam_gain | 1);
    const std::string b64 = encodeBase64(&v, 4);
    EXPECT_EQ(automat->objectParamsText(), name + u"=F" + kelString(b64.begin(), b64.end()) + u"\r\n");
    EXPECT_FALSE(automat->dspl_obj_setf(12345, c_dspParam_gain, 1.0f));
}

TEST_F(AutomatFixture, SavedChainLoadsIntoAFreshAutomatAndReproducesItsOutputExactly)
{
    ASSERT_EQ(automat->setFormat(48000, 16, 1, false), 0);
    addEqualiser(*automat);
    const kelDspHandle dyn = automat->dspl_objNew(kelDspType_DynProc);
    ASSERT_TRUE(automat->dspl_obj_setf(dyn, c_dspParam_ratio, 3.0f));
    ASSERT_TRUE(automat->dspl_obj_seti(dyn, c_dspParam_type | 2, 1));
    const kelDspHandle eqmb = automat->dspl_objNew(kelDspType_EQMB);
    ASSERT_TRUE(automat->dspl_obj_seti(eqmb, c_dspParam_count, 2));
    ASSERT_TRUE(automat->dspl_obj_setc(eqmb, c_dspParam_frequency, {0.01f, 0.05f}));
    ASSERT_TRUE(automat->dspl_obj_setc(eqmb, c_dspParam_gain, {0.5f, 2.0f}));

    kelString text;
    ASSERT_EQ(automat->automatSave(text), 0);
    EXPECT_EQ(text.substr(0, 26), u"numObjects=3\r\nobj.0.id=1\r\n");
    EXPECT_NE(
        text.find(u"obj.0.numParams=4\r\nobj.1.id=3\r\nobj.1.param.0.id=68096\r\nobj.1.param.0.value=F"),
        kelString::npos);
    EXPECT_NE(text.find(u"obj.2.param.1.value=C"), kelString::npos);

    kelOwned<kelDSPLibAutomat> copy(kelDSPLibAutomat::create(&root));
    ASSERT_EQ(copy->setFormat(48000, 16, 1, false), 0);
    ASSERT_EQ(copy->automatLoad(text), 0);
    ASSERT_EQ(copy->dspl_objCount(), 3);
    EXPECT_EQ(root.getID(copy->dspl_objGet(1)), kelDspType_DynProc);
    kelString again;
    ASSERT_EQ(copy->automatSave(again), 0);
    EXPECT_EQ(again, text);

    const auto signal = pcm16(kelTestAudio::testSignal(4800, 48000, 0.6f), {});
    for (int block = 0; block < 5; ++block) {
        auto a = signal, b = signal;
        ASSERT_EQ(automat->processChunk(a.data(), 9600, -1, -1, true), 0);
        ASSERT_EQ(copy->processChunk(b.data(), 9600, -1, -1, true), 0);
        ASSERT_EQ(a, b) << block;
        ASSERT_NE(a, signal);
    }
}

TEST_F(AutomatFixture, StereoKeepsOneProcessorStatePerChannel)
{
    ASSERT_EQ(automat->setFormat(48000, 16, 2, false), 0);
    addEqualiser(*automat);
    const auto left = kelTestAudio::testSignal(960, 48000, 0.5f, 1);
    const auto right = kelTestAudio::sine(960, 3000, 48000, 0.4f);
    const auto block = pcm16(left, right);
    // Mono references: the same chain over each channel alone.
    kelOwned<kelDSPLibAutomat> monoL(kelDSPLibAutomat::create(&root)), monoR(kelDSPLibAutomat::create(&root));
    for (auto* m : {monoL.get(), monoR.get()}) {
        ASSERT_EQ(m->setFormat(48000, 16, 1, false), 0);
        addEqualiser(*m);
    }
    const auto blockL = pcm16(left, {}), blockR = pcm16(right, {});

    for (int round = 0; round < 3; ++round) {
        auto stereo = block;
        auto l = blockL, r = blockR;
        ASSERT_EQ(
            automat->processChunk(stereo.data(), static_cast<intptr_t>(stereo.size() * 2), -1, -1, true), 0);
        ASSERT_EQ(monoL->processChunk(l.data(), 1920, 0, -1, true), 0);
        ASSERT_EQ(monoR->processChunk(r.data(), 1920, 0, -1, true), 0);
        EXPECT_EQ(automat->subAutoCount(), 1);
        for (size_t i = 0; i < 960; ++i) {
            ASSERT_EQ(stereo[2 * i], l[i]) << round << ":" << i;
            ASSERT_EQ(stereo[2 * i + 1], r[i]) << round << ":" << i;
        }
        ASSERT_NE(r, blockR);
    }
    // A parameter set on the master reaches the channel automat too.
    float g = 0;
    ASSERT_TRUE(automat->dspl_obj_setf(automat->dspl_objGet(0), c_dspParam_gain | 1, 0.25f));
    ASSERT_TRUE(automat->dspl_obj_getf(automat->dspl_objGet(0), 1, c_dspParam_gain | 1, g));
    EXPECT_EQ(g, 0.25f);
    EXPECT_FALSE(automat->dspl_obj_getf(automat->dspl_objGet(0), 2, c_dspParam_gain | 1, g));
}

TEST_F(AutomatFixture, LoadSkipsBadValuesAndDescribedConnections)
{
    const float f = 2.0f;
    const std::string four = encodeBase64(&f, 4);
    const std::string five = encodeBase64("12345", 5);
    const std::string chunk = encodeBase64(std::string(16, '\0'));
    const std::string text = "numObjects=3\r\nobj.0.id=1\r\nobj.0.numParams=5\r\n"
                             "obj.0.param.0.id=66305\r\nobj.0.param.0.value=f" +
                             four +
                             "\r\n"
                             "obj.0.param.1.id=66561\r\nobj.0.param.1.value=F" +
                             five +
                             "\r\n"
                             "obj.0.param.2.id=66560\r\nobj.0.param.2.value=C" +
                             chunk +
                             "\r\n"
                             "obj.0.param.3.id=0\r\nobj.0.param.3.value=F" +
                             four +
                             "\r\n"
                             "obj.0.param.4.id=67072\r\nobj.0.param.4.value=Xabc\r\n"
                             "obj.1.id=0\r\nobj.2.id=77\r\n";
    ASSERT_EQ(automat->automatLoad(kelString(text.begin(), text.end())), 0);
    ASSERT_EQ(automat->dspl_objCount(), 3);
    const kelDspHandle eq = automat->dspl_objGet(0);
    EXPECT_EQ(automat->dspl_objGet(1), 0u);
    EXPECT_EQ(automat->dspl_objGet(2), 0u);
    EXPECT_EQ(root.getID(eq), kelDspType_EQ2B);
    float v = 0;
    ASSERT_TRUE(root.getf(eq, c_dspParam_gain | 1, v));
    EXPECT_EQ(v, 2.0f);                                      // lower-case kind letter accepted
    EXPECT_FALSE(root.issetf(eq, c_dspParam_frequency | 1)); // 5 bytes is no float
    float* out = nullptr;
    intptr_t n = 0;
    root.getc(eq, c_dspParam_output, out, n);
    EXPECT_EQ(n, 0);

    // Counts far beyond the text describe nothing and are not followed.
    const std::string huge = "numObjects=2000000000\r\nobj.0.id=2\r\nobj.0.numParams=999999999999\r\n";
    ASSERT_EQ(automat->automatLoad(kelString(huge.begin(), huge.end())), 0);
    EXPECT_LE(automat->dspl_objCount(), 4);
    EXPECT_EQ(root.getID(automat->dspl_objGet(0)), kelDspType_LD);

    kelString empty;
    ASSERT_EQ(automat->automatLoad(u""), 0);
    EXPECT_EQ(automat->dspl_objCount(), 0);
    ASSERT_EQ(automat->automatSave(empty), 0);
    EXPECT_TRUE(empty.empty());
}

TEST_F(AutomatFixture, SplitterBandsReachTheirBuffersAndSumToTheChannel)
{
    ASSERT_EQ(automat->setFormat(48000, 32, 1, false), 0);
    const kelDspHandle sp = automat->dspl_objNew(kelDspType_MbSp);
    ASSERT_TRUE(automat->dspl_obj_seti(sp, c_dspParam_count, 4));
    ASSERT_TRUE(automat->dspl_obj_setc(sp, c_dspParam_frequency, {0.01f, 0.05f, 0.15f}));
    auto block = kelTestAudio::testSignal(1024);
    const auto before = block;
    ASSERT_EQ(automat->processChunk(block.data(), 4096, 0, -1, true), 0);
    EXPECT_EQ(block, before); // a splitter writes its bands, not the block
    std::vector<double> sum(1024, 0.0);
    for (int b = 0; b < 4; ++b) {
        const float* s = nullptr;
        intptr_t n = 0;
        ASSERT_EQ(automat->getBandData(0, b, s, n), 0);
        ASSERT_EQ(n, 1024);
        for (size_t i = 0; i < 1024; ++i)
            sum[i] += s[i];
    }
    for (size_t i = 0; i < 1024; ++i)
        ASSERT_NEAR(sum[i], before[i], 1e-6);
}

TEST_F(AutomatFixture, RunsAndParameterChangesFromTwoThreadsTakeTurns)
{
    ASSERT_EQ(automat->setFormat(48000, 16, 2, false), 0);
    addEqualiser(*automat);
    const kelDspHandle eq = automat->dspl_objGet(0);
    std::atomic<int> failures{0};
    std::thread tuner([&] {
        for (int i = 0; i < 200; ++i)
            if (!automat->dspl_obj_setf(eq, c_dspParam_gain | 1, 1.0f + static_cast<float>(i % 7)))
                ++failures;
    });
    auto block = pcm16(kelTestAudio::testSignal(480), kelTestAudio::testSignal(480, 48000, 0.25f, 3));
    for (int i = 0; i < 200; ++i)
        if (automat->processChunk(block.data(), static_cast<intptr_t>(block.size() * 2), -1, -1, false) != 0)
            ++failures;
    tuner.join();
    EXPECT_EQ(failures.load(), 0);
    float g = 0;
    ASSERT_TRUE(automat->dspl_obj_getf(eq, 1, c_dspParam_gain | 1, g));
    EXPECT_EQ(g, 1.0f + 199 % 7);
}
