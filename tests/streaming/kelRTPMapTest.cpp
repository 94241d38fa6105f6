#include "streaming/kelRTPMap.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(kelRTPEncodingTest, NamesMapToTheirCodesWhateverTheCaseAndBlanks)
{
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("G726-16")), 7);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view(" pcmu ")), 19);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"T140C")), 103);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("opus")), -1);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"L\u00e916")), -1);
    for (int32_t code = -1; code <= 110; ++code) {
        const char* name = kelRTPEncodingName(code);
        const bool known = (code >= 1 && code <= 21) || (code >= 101 && code <= 106);
        ASSERT_EQ(name != nullptr, known) << code;
        if (name) {
            EXPECT_EQ(kelRTPEncodingFromName(std::string_view(name)), code);
        }
    }
}

TEST(kelRTPPayloadTablesTest, UnchangedFieldsAndUnknownTypes)
{
    kelRTPPayloadFormat f;
    ASSERT_TRUE(kelRTPStaticPayload(14, f)); // MPA leaves the rest to the stream
    EXPECT_EQ(f.encoding, kelRTPEnc_MPA);
    EXPECT_TRUE(f.rate == -1 && f.channels == -1 && f.bits == -1);
    ASSERT_TRUE(kelRTPCustomPayload(113, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_t140c);
    EXPECT_TRUE(f.rate == 1000 && f.channels == -1 && f.bits == -1);
    for (intptr_t unknown : {1, 2, 9, 13, 19, 96, -1})
        EXPECT_FALSE(kelRTPStaticPayload(unknown, f)) << unknown;
    EXPECT_FALSE(kelRTPCustomPayload(109, f));
    EXPECT_FALSE(kelRTPCustomPayload(122, f));
}

TEST(kelParseRTPMapTest, ReadsTypeNameRateAndChannels)
{
    kelRTPMap map;
    ASSERT_TRUE(kelParseRTPMap(u"97 speex/16000", u"", map));
    EXPECT_EQ(map.r_dynType, 97);
    EXPECT_STREQ(map.r_mediaType, "speex");
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_speex);
    EXPECT_EQ(map.r_samplingRate, 16000);
    EXPECT_EQ(map.r_numChannels, 1);

    ASSERT_TRUE(kelParseRTPMap(u"96 L16/44100/ 2 \r\n97 PCMU/8000", u"", map));
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_L16);
    EXPECT_EQ(map.r_samplingRate, 44100);
    EXPECT_EQ(map.r_numChannels, 2);

    // Unknown names are kept, cut to seven characters.
    ASSERT_TRUE(kelParseRTPMap(u"97 MPEG4-GENERIC/44100/2", u"", map));
    EXPECT_EQ(map.r_rtpEncoding, -1);
    EXPECT_STREQ(map.r_mediaType, "MPEG4-G");

    // Defaults: payload type 96, rate 8000, one channel; a rate beyond 32
    // bits is no rate.
    for (const char16_t* value : {u"x PCMA/fast/many", u"x PCMA", u"x PCMA/99999999999"}) {
        ASSERT_TRUE(kelParseRTPMap(value, u"", map));
        EXPECT_EQ(map.r_dynType, 96);
        EXPECT_EQ(map.r_samplingRate, 8000);
        EXPECT_EQ(map.r_numChannels, 1);
    }
}

TEST(kelParseRTPMapTest, MalformedValuesLeaveTheMappingAlone)
{
    kelRTPMap map;
    map.r_dynType = 5;
    kelRTPMapSetName(map, "keep");
    map.r_fmt_bitrate = 7;
    const kelRTPMap before = map;
    for (const char16_t* bad : {u"", u"98", u"98L16/8000", u"98 /8000/1", u"98   ", u"\r98 L16/8000"}) {
        EXPECT_FALSE(kelParseRTPMap(bad, u"98 bitrate=24", map));
        EXPECT_EQ(std::memcmp(&map, &before, sizeof map), 0);
    }
}

TEST(kelParseRTPMapTest, FmtpGivesFrameSizeAndBitrateOnlyAsWholeParameters)
{
    kelRTPMap map;
    ASSERT_TRUE(kelParseRTPMap(u"97 CELT/48000/2", u"97 frame-size=480;Bitrate=64\r\n", map));
    EXPECT_EQ(map.r_fmt_frameSize, 480);
    EXPECT_EQ(map.r_fmt_bitrate, 64);
    // A parameter that only ends in the key, a key at the very start, a key
    // without digits or with too many: 0, not the previous mapping's value.
    for (const char16_t* fmtp : {u"111 maxaveragebitrate=20000;sprop-frame-size=2", u"bitrate=20",
                                 u"111 bitrate=", u"111 bitrate=99999999999"}) {
        ASSERT_TRUE(kelParseRTPMap(u"111 speex/16000", fmtp, map));
        EXPECT_EQ(map.r_fmt_bitrate, 0);
        EXPECT_EQ(map.r_fmt_frameSize, 0);
    }
}

TEST(kelParseRTPMapTest, RedundantTextIsReadAsTheTextItWrapsUnderEitherTextName)
{
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("t140")), kelRTPEnc_t140c);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u" T140 ")), kelRTPEnc_t140c);
    EXPECT_STREQ(kelRTPEncodingName(kelRTPEnc_t140c), "t140c");

    kelRTPMap map;
    ASSERT_TRUE(kelParseRTPMap(u"100 red/1000\r\n98 t140/1000", u"100 98/98/98\r\n", map));
    EXPECT_EQ(map.r_dynType, 98);
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_t140c);
    EXPECT_EQ(map.r_samplingRate, 1000);
    EXPECT_EQ(kelRTPMapRedundancyType(u"100 red/1000\r\n98 t140/1000"), 100);
    EXPECT_EQ(kelRTPMapRedundancyType(u"98 t140/1000\r\n101 RED/1000"), 101);
    EXPECT_EQ(kelRTPMapRedundancyType(u"98 t140/1000"), -1);
    EXPECT_EQ(kelRTPMapRedundancyType(u"x red/1000\r\n200 red/1000"), -1);

    // The first value still wins when it is not a wrapper; a lone "red"
    // is read as the unknown encoding it names.
    ASSERT_TRUE(kelParseRTPMap(u"97 L16/16000\r\n100 red/1000", u"", map));
    EXPECT_EQ(map.r_dynType, 97);
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_L16);
    ASSERT_TRUE(kelParseRTPMap(u"100 red/1000", u"", map));
    EXPECT_EQ(map.r_dynType, 100);
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_unknown);
}
