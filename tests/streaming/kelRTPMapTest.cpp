#include "streaming/kelRTPMap.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(kelRTPEncodingTest, NamesMapToTheirCodesWhateverTheCaseAndBlanks)
{
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("DVI4")), 1);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("G726-16")), 7);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("gsm_efr")), 13);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view(" pcmu ")), 19);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("VDVI")), 21);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"SPEEX")), 101);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"T140C")), 103);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"g7221")), 106);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("opus")), -1);
    EXPECT_EQ(kelRTPEncodingFromName(std::string_view("")), -1);
    EXPECT_EQ(kelRTPEncodingFromName(std::u16string_view(u"L\u00e916")), -1);
    // Every code names itself back.
    for (int32_t code : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 101, 102, 103,
                         104, 105, 106}) {
        const char* name = kelRTPEncodingName(code);
        ASSERT_NE(name, nullptr) << code;
        EXPECT_EQ(kelRTPEncodingFromName(std::string_view(name)), code);
    }
    EXPECT_EQ(kelRTPEncodingName(0), nullptr);
    EXPECT_EQ(kelRTPEncodingName(22), nullptr);
    EXPECT_EQ(kelRTPEncodingName(-1), nullptr);
}

TEST(kelRTPPayloadTablesTest, StaticAndCustomTypesCarryTheirFormats)
{
    kelRTPPayloadFormat f;
    ASSERT_TRUE(kelRTPStaticPayload(0, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_PCMU);
    EXPECT_EQ(f.rate, 8000);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.bits, 16);
    ASSERT_TRUE(kelRTPStaticPayload(10, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_L16);
    EXPECT_EQ(f.rate, 44100);
    EXPECT_EQ(f.channels, 2);
    ASSERT_TRUE(kelRTPStaticPayload(14, f)); // MPA leaves the rest to the stream
    EXPECT_EQ(f.encoding, kelRTPEnc_MPA);
    EXPECT_EQ(f.rate, -1);
    EXPECT_EQ(f.channels, -1);
    EXPECT_EQ(f.bits, -1);
    ASSERT_TRUE(kelRTPStaticPayload(17, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_DVI4);
    EXPECT_EQ(f.rate, 22050);
    for (intptr_t unknown : {1, 2, 9, 13, 19, 96, -1}) EXPECT_FALSE(kelRTPStaticPayload(unknown, f)) << unknown;

    ASSERT_TRUE(kelRTPCustomPayload(113, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_t140c);
    EXPECT_EQ(f.rate, 1000);
    EXPECT_EQ(f.channels, -1);
    ASSERT_TRUE(kelRTPCustomPayload(118, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_CELT);
    EXPECT_EQ(f.rate, 48000);
    EXPECT_EQ(f.channels, 2);
    ASSERT_TRUE(kelRTPCustomPayload(121, f));
    EXPECT_EQ(f.encoding, kelRTPEnc_G7221);
    EXPECT_EQ(f.rate, 32000);
    EXPECT_EQ(f.bitrate, 48);
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
    EXPECT_EQ(map.r_dynType, 96);
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_L16);
    EXPECT_EQ(map.r_samplingRate, 44100);
    EXPECT_EQ(map.r_numChannels, 2);

    // Defaults: payload type 96, rate 8000, one channel.
    ASSERT_TRUE(kelParseRTPMap(u"x PCMA/fast/many", u"", map));
    EXPECT_EQ(map.r_dynType, 96);
    EXPECT_EQ(map.r_rtpEncoding, kelRTPEnc_PCMA);
    EXPECT_EQ(map.r_samplingRate, 8000);
    EXPECT_EQ(map.r_numChannels, 1);
    ASSERT_TRUE(kelParseRTPMap(u"101 GSM", u"", map));
    EXPECT_EQ(map.r_samplingRate, 8000);
    EXPECT_EQ(map.r_numChannels, 1);
    // A rate that does not fit in 32 bits is no rate.
    ASSERT_TRUE(kelParseRTPMap(u"101 GSM/99999999999", u"", map));
    EXPECT_EQ(map.r_samplingRate, 8000);
}

TEST(kelParseRTPMapTest, UnknownNamesAreKeptCutToSevenCharacters)
{
    kelRTPMap map;
    ASSERT_TRUE(kelParseRTPMap(u"97 MPEG4-GENERIC/44100/2", u"", map));
    EXPECT_EQ(map.r_rtpEncoding, -1);
    EXPECT_STREQ(map.r_mediaType, "MPEG4-G");
    EXPECT_EQ(map.r_mediaType[7], '\0');
    EXPECT_EQ(map.r_samplingRate, 44100);
    EXPECT_EQ(map.r_numChannels, 2);
}

TEST(kelParseRTPMapTest, MalformedValuesLeaveTheMappingAlone)
{
    kelRTPMap map;
    map.r_dynType = 5;
    kelRTPMapSetName(map, "keep");
    map.r_samplingRate = 1234;
    map.r_fmt_bitrate = 7;
    const kelRTPMap before = map;
    for (const char16_t* bad : {u"", u"98", u"98L16/8000", u"98 /8000/1", u"98   ", u"\r98 L16/8000"}) {
        EXPECT_FALSE(kelParseRTPMap(bad, u"98 bitrate=24", map)) << std::u16string_view(bad).size();
        EXPECT_EQ(std::memcmp(&map, &before, sizeof map), 0);
    }
}

TEST(kelParseRTPMapTest, FmtpGivesFrameSizeAndBitrateOnlyAsWholeParameters)
{
    kelRTPMap map;
    ASSERT_TRUE(kelParseRTPMap(u"96 G7221/16000", u"96 bitrate=24000\r\n", map));
    EXPECT_EQ(map.r_fmt_bitrate, 24000);
    EXPECT_EQ(map.r_fmt_frameSize, 0);
    ASSERT_TRUE(kelParseRTPMap(u"97 CELT/48000/2", u"97 frame-size=480;Bitrate=64\r\n", map));
    EXPECT_EQ(map.r_fmt_frameSize, 480);
    EXPECT_EQ(map.r_fmt_bitrate, 64);
    // Another parameter that ends in "bitrate=" is not the bitrate, and a
    // mapping without the parameters does not keep the previous ones.
    ASSERT_TRUE(kelParseRTPMap(u"111 speex/16000", u"111 maxaveragebitrate=20000;sprop-frame-size=2", map));
    EXPECT_EQ(map.r_fmt_bitrate, 0);
    EXPECT_EQ(map.r_fmt_frameSize, 0);
    // A key at the very start is not after the payload type.
    ASSERT_TRUE(kelParseRTPMap(u"111 speex/16000", u"bitrate=20", map));
    EXPECT_EQ(map.r_fmt_bitrate, 0);
    ASSERT_TRUE(kelParseRTPMap(u"111 speex/16000", u"111 bitrate=", map));
    EXPECT_EQ(map.r_fmt_bitrate, 0);
    ASSERT_TRUE(kelParseRTPMap(u"111 speex/16000", u"111 bitrate=99999999999", map));
    EXPECT_EQ(map.r_fmt_bitrate, 0);
}
