#include "audio/kelWaveFormatText.h"

#include "audio/kelWaveFormatRoutines.h"
#include "core/kelUtilsState.h"

#include <gtest/gtest.h>

TEST(kelWaveFormatTextTest, TagNamesAndRanges)
{
    EXPECT_EQ(formatTagName(0x55), u"MP3");
    EXPECT_EQ(formatTagName(5), u"#5");
    EXPECT_EQ(formatTagName(1), u"PCM");
    EXPECT_EQ(formatTagName(3), u"IEEEF");
    EXPECT_EQ(formatTagName(111), u"#111");
    EXPECT_EQ(formatTagName(112), u"VOXW");
    EXPECT_EQ(formatTagName(115), u"VOXW");
    EXPECT_EQ(formatTagName(116), u"#116");
    EXPECT_EQ(formatTagName(26449), u"OGG");
    EXPECT_EQ(formatTagName(26450), u"#26450");
    EXPECT_EQ(formatTagName(26481), u"OGG");
    EXPECT_EQ(formatTagName(41225), u"SPEEX");
    EXPECT_EQ(formatTagName(0xFFFE), u"#65534");
}

TEST(kelWaveFormatTextTest, DescriptionsGroupTheRate)
{
    const kelString sep = thousandSeparator();
    EXPECT_EQ(pcmFormatDescription(44100, 16, 2), u"44" + sep + u"100 Hz; 16 Bit; Stereo");
    EXPECT_EQ(pcmFormatDescription(8000, 0, 1), u"8" + sep + u"000 Hz; Mono");
    EXPECT_EQ(pcmFormatDescription(1000000, 24, 6),
              u"1" + sep + u"000" + sep + u"000 Hz; 24 Bit; 6 channels");
    EXPECT_EQ(pcmFormatDescription(500, 8, 0), u"500 Hz; 8 Bit; 0 channels");

    WAVEFORMATEX f;
    fillPCMFormat(&f, 22050, 8, 1);
    f.wFormatTag = 7;
    EXPECT_EQ(formatDescription(&f, sizeof f), u"MuLaw: 22" + sep + u"050 Hz; 8 Bit; Mono");
    EXPECT_EQ(formatDescription(&f, 10), u"");
}

TEST(kelWaveFormatTextTest, ResultCodeTexts)
{
    EXPECT_EQ(mmErrorTextWithCode(11), u"11: invalid parameter passed.");
    EXPECT_EQ(mmErrorTextWithCode(600), u"600: unknown error code.");
    EXPECT_EQ(mmErrorText(0), u"unknown error code");
    EXPECT_EQ(mmErrorText(1), u"unspecified error");
    EXPECT_EQ(mmErrorText(12), u"handle being used simultaneously on another thread (eg callback)");
    EXPECT_EQ(mmErrorText(20), u"driver does not call DriverCallback");
    EXPECT_EQ(mmErrorText(21), u"unknown error code");
    EXPECT_EQ(mmErrorText(511), u"unknown error code");
    EXPECT_EQ(mmErrorText(512), u"NOT POSSIBLE");
    EXPECT_EQ(mmErrorText(515), u"CANCELED");
    EXPECT_EQ(mmErrorText(516), u"unknown error code");
}
