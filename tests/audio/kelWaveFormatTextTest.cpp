#include "audio/kelWaveFormatText.h"

#include "audio/kelWaveFormatRoutines.h"
#include "core/kelUtilsState.h"

#include <gtest/gtest.h>

#include <utility>

TEST(kelWaveFormatTextTest, TagNamesAndRanges)
{
    const std::pair<uint32_t, kelString> names[] = {
        {0x55, u"MP3"},     {5, u"#5"},      {3, u"IEEEF"},     {111, u"#111"},
        {112, u"VOXW"},     {115, u"VOXW"},  {116, u"#116"},    {26449, u"OGG"},
        {26450, u"#26450"}, {26481, u"OGG"}, {41225, u"SPEEX"}, {0xFFFE, u"#65534"},
    };
    for (const auto& [tag, name] : names)
        EXPECT_EQ(formatTagName(tag), name) << tag;
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
    const std::pair<uint32_t, kelString> texts[] = {
        {0, u"unknown error code"},
        {1, u"unspecified error"},
        {20, u"driver does not call DriverCallback"},
        {21, u"unknown error code"},
        {511, u"unknown error code"},
        {512, u"NOT POSSIBLE"},
        {515, u"CANCELED"},
        {516, u"unknown error code"},
        {12, u"handle being used simultaneously on another thread (eg callback)"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(mmErrorText(code), text) << code;
}
