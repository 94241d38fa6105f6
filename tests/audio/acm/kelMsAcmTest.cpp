// The driver registry and its driver objects over the built-in drivers and
// the scripted test driver.

#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "codecs/kelAcmDrivers.h"
#include "tests/support/kelTestAcmCodec.h"
#include "tests/support/kelTestScriptedAcmDriver.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <set>

namespace {

uint16_t productOf(kelMsAcmDriver* driver)
{
    const ACMDRIVERDETAILSW* details = driver ? driver->getDetails() : nullptr;
    return details ? details->wPid : 0;
}

} // namespace

TEST(kelMsAcmTest, DriversAreFoundByMakerProductAndFormatTag)
{
    ASSERT_NE(kelTestScriptedAcmDriver::id(), nullptr);
    kelMsAcm acm;
    EXPECT_EQ(acm.getDriverByFormatTag(WAVE_FORMAT_PCM), nullptr); // nothing listed yet
    ASSERT_EQ(acm.enumDrivers(), 0u);
    EXPECT_GE(acm.getDriverCount(), 5);
    EXPECT_EQ(acm.countDrivers(), uint32_t(acm.getDriverCount()));
    EXPECT_NE(acm.version(), 0u);

    struct Case
    {
        uint32_t tag;
        uint16_t product; // 0: no driver
    };
    const Case cases[] = {
        {WAVE_FORMAT_PCM, kelAcmPcmProductId},
        {WAVE_FORMAT_ALAW, kelAcmG711ProductId},
        {WAVE_FORMAT_MULAW, kelAcmG711ProductId},
        {WAVE_FORMAT_IMA_ADPCM, kelAcmImaAdpcmProductId},
        {WAVE_FORMAT_GSM610, kelAcmGsmProductId},
        {kelTestAcmTag, kelTestAcmProduct},
        {0x1234, 0},
        {0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        kelMsAcmDriver* driver = acm.getDriverByFormatTag(c.tag);
        EXPECT_EQ(productOf(driver), c.product);
    }
    kelMsAcmDriver* pcm = acm.getDriver(kelAcmMakerId, kelAcmPcmProductId);
    ASSERT_NE(pcm, nullptr);
    EXPECT_EQ(acm.getDriverByFormatTag(WAVE_FORMAT_PCM), pcm);
    EXPECT_EQ(acm.getDriver(kelAcmMakerId, 9999), nullptr);
    EXPECT_EQ(acm.getDriver(acm.getDriverCount()), nullptr);
}

// A new enumeration keeps the objects of drivers reported again: a codec
// holding one goes on working.
TEST(kelMsAcmTest, EnumeratingAgainKeepsTheObjectsCodecsHold)
{
    ASSERT_NE(kelTestScriptedAcmDriver::id(), nullptr);
    kelMsAcm acm;
    ASSERT_EQ(acm.enumDrivers(), 0u);
    std::set<kelMsAcmDriver*> before;
    for (intptr_t i = 0; i < acm.getDriverCount(); ++i)
        before.insert(acm.getDriver(i));
    kelMsAcmDriver* driver = acm.getDriver(kelTestAcmMaker, kelTestAcmProduct);
    ASSERT_NE(driver, nullptr);
    kelTestScriptedAcmDriver::reset();
    kelTestAcmCodec codec(driver, kelcdm_acm);
    const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
    const WAVEFORMATEX coded = kelTestScriptedAcmDriver::format();
    ASSERT_TRUE(codec->setFormat(true, &pcm) && codec->setFormat(false, &coded));
    ASSERT_EQ(codec->open(false, 1000, 0, false), 0u);

    ASSERT_EQ(acm.enumDrivers(), 0u);
    std::set<kelMsAcmDriver*> after;
    for (intptr_t i = 0; i < acm.getDriverCount(); ++i)
        after.insert(acm.getDriver(i));
    EXPECT_EQ(after, before);
    EXPECT_EQ(acm.getDriver(kelTestAcmMaker, kelTestAcmProduct), driver);
    const std::string input = kelTestPcmRamp(160);
    EXPECT_EQ(codec->write(input.data(), input.size()), input.size());
    EXPECT_EQ(codec.output(), input);
    EXPECT_EQ(codec->close(3000), 0u);
}

// Suggestions: the compressed side from PCM, with a tag or the driver's own
// choice, and the PCM side from a compressed format.
TEST(kelMsAcmTest, CodecFormatsAreSuggestedByTheDriver)
{
    kelMsAcm acm;
    ASSERT_EQ(acm.enumDrivers(), 0u);
    kelMsAcmDriver* ima = acm.getDriverByFormatTag(WAVE_FORMAT_IMA_ADPCM);
    ASSERT_NE(ima, nullptr);
    for (uint32_t tag : {uint32_t(WAVE_FORMAT_IMA_ADPCM), 0u}) {
        SCOPED_TRACE(tag);
        kelTestAcmCodec codec(ima, kelcdm_acm);
        ASSERT_TRUE(codec->setPcmFormatSuggest(true, 8000, 16, 1, tag));
        const WAVEFORMATEX* dst = codec->dstFormatBlock().format();
        EXPECT_EQ(dst->wFormatTag, WAVE_FORMAT_IMA_ADPCM);
        EXPECT_EQ(dst->nSamplesPerSec, 8000u);
        EXPECT_EQ(dst->nChannels, 1u);
        EXPECT_EQ(codec->srcFormatBlock().format()->wBitsPerSample, 16u);
        // And back: the PCM side follows the compressed record.
        kelTestAcmCodec decoder(ima, kelcdm_acm);
        ASSERT_TRUE(decoder->setFormatSuggest(false, dst, sizeof(WAVEFORMATEX) + dst->cbSize));
        const WAVEFORMATEX* pcm = decoder->dstFormatBlock().format();
        EXPECT_EQ(pcm->nSamplesPerSec, 8000u);
        EXPECT_EQ(pcm->nChannels, 1u);
        EXPECT_EQ(pcm->wBitsPerSample, 16u);
    }
    // No driver, no suggestion; the internal mode suggests nothing.
    kelTestAcmCodec orphan(nullptr, kelcdm_acm);
    EXPECT_FALSE(orphan->setPcmFormatSuggest(true, 8000, 16, 1, WAVE_FORMAT_IMA_ADPCM));
    kelTestAcmCodec internal(ima, kelcdm_internal);
    EXPECT_FALSE(internal->setPcmFormatSuggest(true, 8000, 16, 1, WAVE_FORMAT_IMA_ADPCM));
}

// A driver whose largest record is shorter than the header still gets
// records that hold one, in enumeration and in suggestion.
TEST(kelMsAcmTest, ShortFormatMetricsStillMakeWholeRecords)
{
    ASSERT_NE(kelTestScriptedAcmDriver::id(), nullptr);
    kelMsAcm acm;
    ASSERT_EQ(acm.enumDrivers(), 0u);
    kelMsAcmDriver* driver = acm.getDriver(kelTestAcmMaker, kelTestAcmProduct);
    ASSERT_NE(driver, nullptr);
    ASSERT_LT(driver->maxWaveFormatSize(), sizeof(WAVEFORMATEX));
    kelTestScriptedAcmDriver::reset();
    kelTestAcmCodec codec(driver, kelcdm_acm);
    ASSERT_TRUE(codec->setPcmFormatSuggest(true, 8000, 16, 1, kelTestAcmTag));
    EXPECT_EQ(codec->dstFormatBlock().format()->wFormatTag, kelTestAcmTag);
    EXPECT_EQ(codec->chunkSize(), 320u);

    ASSERT_EQ(driver->enumFormats(0, true, nullptr, false), 0u);
    ASSERT_EQ(driver->getFormatTagCount(), 1);
    EXPECT_EQ(driver->getFormatTag(0)->formatTag(), kelTestAcmTag);
    ASSERT_EQ(driver->getFormatCount(), 1);
    const kelMsAcmFormat* format = driver->getFormat(0);
    ASSERT_NE(format->format(), nullptr);
    EXPECT_EQ(format->formatSize(), sizeof(WAVEFORMATEX));
    EXPECT_EQ(format->format()->wFormatTag, kelTestAcmTag);
    EXPECT_EQ(format->format()->nAvgBytesPerSec, 16000u);
    EXPECT_EQ(format->format()->cbSize, 0u);
    EXPECT_EQ(kelTestScriptedAcmDriver::snapshot().formatRoom, sizeof(WAVEFORMATEX));
    // The same enumeration again does nothing unless forced.
    EXPECT_EQ(driver->enumFormats(0, false, nullptr, false), 0u);
    EXPECT_EQ(driver->getFormat(0), format);
}

// The internal mode has no back end: opening answers "not supported".
TEST(kelMsAcmTest, InternalModeAnswersNotSupported)
{
    kelTestAcmCodec codec(nullptr, kelcdm_internal);
    const WAVEFORMATEX pcm = kelTestPcmFormat(8000, 1, 16);
    ASSERT_TRUE(codec->setFormat(true, &pcm) && codec->setFormat(false, &pcm));
    EXPECT_EQ(codec->open(false, 1000, 0, false), uint32_t(MMSYSERR_NOTSUPPORTED));
    EXPECT_FALSE(codec->isOpen());
    uintptr_t size = 0;
    EXPECT_EQ(codec->convertSize(320, ACM_STREAMSIZEF_SOURCE, size), uint32_t(MMSYSERR_NOTSUPPORTED));
}
