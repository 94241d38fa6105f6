// The codec device's write path over a scripted driver: which bytes go to
// each conversion, with which flags, what stays pending, and what comes
// out.

#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestScriptedAcmDriver.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kFirst = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
constexpr uint32_t kLater = ACM_STREAMCONVERTF_BLOCKALIGN;

class AcmCodecWrite : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelTestScriptedAcmDriver::reset();
        ASSERT_NE(kelTestScriptedAcmDriver::id(), nullptr);
        ASSERT_EQ(acm.enumDrivers(), 0u);
        driver = acm.getDriver(kelTestAcmMaker, kelTestAcmProduct);
        ASSERT_NE(driver, nullptr);
    }

    // An encoder of 8 kHz 16-bit mono: chunks of 320 bytes both sides.
    std::unique_ptr<kelTestAcmCodec> openCodec(const kelTestAcmScript& script = {})
    {
        kelTestScriptedAcmDriver::reset(script);
        auto codec = std::make_unique<kelTestAcmCodec>(driver, kelcdm_acm);
        const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
        const WAVEFORMATEX coded = kelTestScriptedAcmDriver::format();
        EXPECT_TRUE((*codec)->setFormat(true, &pcm) && (*codec)->setFormat(false, &coded));
        EXPECT_EQ((*codec)->open(false, 1000, 0, false), 0u);
        EXPECT_EQ((*codec)->chunkSize(), 320u);
        EXPECT_EQ((*codec)->dstChunkSize(), 320u);
        return codec;
    }

    kelMsAcm acm;
    kelMsAcmDriver* driver = nullptr;
};

struct WriteCase
{
    const char* name;
    std::vector<size_t> writes; // sizes, in order
    uint32_t useAtMost;         // the driver's limit per conversion (0: all)
    int refuse;                 // conversions that take nothing at first
    std::vector<kelTestAcmConversion> conversions;
    size_t pending;
};

} // namespace

// Whole chunks convert at once and in order, the first with the start
// flag; a shorter tail stays pending. Bytes a conversion leaves unused stay
// pending too, ahead of the next write's.
TEST_F(AcmCodecWrite, ChunksConvertInOrderAndTheRestStaysPending)
{
    const WriteCase cases[] = {
        {"half a chunk", {160}, 0, 0, {}, 160},
        {"two halves", {160, 160}, 0, 0, {{kFirst, 320}}, 0},
        {"two and a half chunks", {800}, 0, 0, {{kFirst, 320}, {kLater, 320}}, 160},
        {"single bytes", std::vector<size_t>(700, 1), 0, 0, {{kFirst, 320}, {kLater, 320}}, 60},
        {"odd pieces", {333, 333, 333}, 0, 0, {{kFirst, 320}, {kLater, 320}, {kLater, 320}}, 39},
        {"driver leaves bytes unused", {640}, 300, 0, {{kFirst, 320}, {kLater, 320}}, 40},
        // The header grows to hold the refused chunk and the next one.
        {"driver wants more than a chunk", {320, 320}, 0, 1, {{kFirst, 320}, {kLater, 640}}, 0},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        kelTestAcmScript script;
        script.useAtMost = c.useAtMost;
        script.refuse = c.refuse;
        auto codec = openCodec(script);
        size_t total = 0;
        for (size_t n : c.writes)
            total += n;
        const std::string input = kelTestPcmRamp(total / 2 + 1).substr(0, total);
        size_t at = 0;
        for (size_t n : c.writes) {
            EXPECT_EQ((*codec)->write(input.data() + at, n), n);
            at += n;
        }
        const kelTestAcmScript seen = kelTestScriptedAcmDriver::snapshot();
        ASSERT_EQ(seen.conversions.size(), c.conversions.size());
        for (size_t i = 0; i < c.conversions.size(); ++i) {
            EXPECT_EQ(seen.conversions[i].flags, c.conversions[i].flags) << "conversion " << i;
            EXPECT_EQ(seen.conversions[i].length, c.conversions[i].length) << "conversion " << i;
        }
        EXPECT_EQ((*codec)->pendingSize(), c.pending);
        // Nothing lost, doubled or reordered: what the driver used is the
        // input's start, and it is what came out.
        const std::string converted =
            total - c.pending <= input.size() ? input.substr(0, total - c.pending) : "";
        EXPECT_EQ(seen.used, converted);
        EXPECT_EQ(codec->output(), converted);
        EXPECT_EQ((*codec)->inBytes(), int64_t(converted.size()));
    }
}

// The tail converts with the end flag on flush(true) and on a close that
// flushes; a plain close drops it.
TEST_F(AcmCodecWrite, TheTailConvertsWithTheEndFlagWhenFlushed)
{
    struct Case
    {
        const char* name;
        bool flushBeforeClose;
        bool flushFirst;
        size_t out;
    };
    const Case cases[] = {
        {"flush(true)", false, true, 500},
        {"close with flushBeforeClose", true, false, 500},
        {"plain close", false, false, 320},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto codec = openCodec();
        const std::string input = kelTestPcmRamp(250);
        (*codec)->setFlushBeforeClose(c.flushBeforeClose);
        ASSERT_EQ((*codec)->write(input.data(), input.size()), input.size());
        if (c.flushFirst) {
            EXPECT_TRUE((*codec)->flush(true));
        }
        EXPECT_EQ((*codec)->close(3000), 0u);
        const kelTestAcmScript seen = kelTestScriptedAcmDriver::snapshot();
        EXPECT_EQ(codec->output(), input.substr(0, c.out));
        ASSERT_GE(seen.conversions.size(), 1u);
        if (c.out == 500) {
            ASSERT_GE(seen.conversions.size(), 2u);
            EXPECT_EQ(seen.conversions[1].length, 180u);
            EXPECT_NE(seen.conversions[1].flags & ACM_STREAMCONVERTF_END, 0u);
        }
        EXPECT_EQ(seen.closes, 1);
    }
}

// The gain scales what the codec converts, not the writer's buffer.
TEST_F(AcmCodecWrite, GainScalesTheCopyNotTheCallersBytes)
{
    auto codec = openCodec();
    (*codec)->setCalcVolume(true);
    (*codec)->setVolume100(-1, 50);
    const std::string input = kelTestPcmRamp(160);
    std::string buffer = input;
    ASSERT_EQ((*codec)->write(buffer.data(), buffer.size()), buffer.size());
    EXPECT_EQ(buffer, input);
    const std::string out = codec->output();
    ASSERT_EQ(out.size(), input.size());
    for (size_t i = 0; i < 160; i += 17) {
        int16_t in = 0, scaled = 0;
        std::memcpy(&in, input.data() + 2 * i, 2);
        std::memcpy(&scaled, out.data() + 2 * i, 2);
        EXPECT_NEAR(scaled, in / 2, 1) << "sample " << i;
    }
}

// Chunk sizes a driver answers that no write could work with make the open
// fail, and the stream it opened is closed again.
TEST_F(AcmCodecWrite, OpenRefusesChunkSizesOfZeroOrAboveTheLimit)
{
    const int64_t answers[] = {0, int64_t(kelMaxChunkSize) + 2, int64_t(UINT32_MAX)};
    for (int64_t answer : answers) {
        SCOPED_TRACE(answer);
        kelTestAcmScript script;
        script.sizeAnswer = answer;
        kelTestScriptedAcmDriver::reset(script);
        kelTestAcmCodec codec(driver, kelcdm_acm);
        const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
        const WAVEFORMATEX coded = kelTestScriptedAcmDriver::format();
        ASSERT_TRUE(codec->setFormat(true, &pcm) && codec->setFormat(false, &coded));
        EXPECT_EQ(codec->open(false, 1000, 0, false), uint32_t(MMSYSERR_INVALPARAM));
        EXPECT_FALSE(codec->isOpen());
        const kelTestAcmScript seen = kelTestScriptedAcmDriver::snapshot();
        EXPECT_EQ(seen.opens, 1);
        EXPECT_EQ(seen.closes, 1);
    }
}

// The device thread converts whole chunks it finds in the input stream.
TEST_F(AcmCodecWrite, TheDeviceThreadConvertsChunksFromTheInputStream)
{
    kelTestScriptedAcmDriver::reset();
    kelTestAcmCodec codec(driver, kelcdm_acm);
    const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
    const WAVEFORMATEX coded = kelTestScriptedAcmDriver::format();
    ASSERT_TRUE(codec->setFormat(true, &pcm) && codec->setFormat(false, &coded));
    ASSERT_EQ(codec->open(false, 1000, 0, true), 0u);
    const std::string input = kelTestPcmRamp(400);
    ASSERT_EQ(codec->inStream()->write(input.data(), intptr_t(input.size())), intptr_t(input.size()));
    EXPECT_TRUE(kelTestWaitUntil([&] { return codec.output().size() >= 640; }));
    EXPECT_EQ(codec.output(), input.substr(0, 640));
    EXPECT_EQ(codec->getDataAvailable(true), 160u);
    EXPECT_EQ(codec->close(3000), 0u);
}
