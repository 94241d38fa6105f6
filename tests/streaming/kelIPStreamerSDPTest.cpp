#include "kelTestStreamer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "core/kelUtf.h"

namespace {

// A session description written by a real peer, as UTF-16; an RTSP answer
// gives its body.
kelString peerSDP(const char* file)
{
    std::ifstream in(std::string(KEL_TEST_VECTORS) + "/sdp/" + file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    const size_t body = s.find("\r\n\r\n");
    if (s.rfind("RTSP/", 0) == 0 && body != std::string::npos) s = s.substr(body + 4);
    return utf8ToUtf16(s);
}

void expectFormat(kelIPStreamer& s, intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding)
{
    EXPECT_EQ(s.samplingRate(), rate);
    EXPECT_EQ(s.numChannels(), channels);
    EXPECT_EQ(s.bitsPerSample(), bits);
    EXPECT_EQ(s.encoding(), encoding);
    const kelRTPMap map = s.mappingCopy();
    EXPECT_EQ(map.r_samplingRate, rate);
    EXPECT_EQ(map.r_numChannels, channels);
    EXPECT_EQ(map.r_bitsPerSample, bits);
    EXPECT_EQ(map.r_rtpEncoding, encoding);
}

} // namespace

TEST(kelIPStreamerSDPTest, ANewStreamerCarriesTheDefaultDescription)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    EXPECT_EQ(s->SDP(), u"v=0\r\nm=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/1\r\n\r\n");
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_L16);
    EXPECT_EQ(s->mapping()->r_dynType, 98);
    EXPECT_STREQ(s->mapping()->r_mediaType, "L16");
}

TEST(kelIPStreamerSDPTest, TheSameTextTwiceChangesNothingTheSecondTime)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    const kelString sdp = u"v=0\r\nm=audio 0 RTP/AVP 97\r\na=rtpmap:97 PCMA/8000\r\n";
    s->setSDP(sdp);
    EXPECT_EQ(s->events(), "BA");
    s->setSDP(sdp);
    EXPECT_EQ(s->events(), "BA");
    // Another text with the same format raises nothing either.
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 97\r\na=rtpmap:97 pcma/8000/1\r\n");
    EXPECT_EQ(s->events(), "BA");
}

TEST(kelIPStreamerSDPTest, NoMediaDescriptionSelectsLinearPCM)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 3\r\n");
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_GSM);
    s->setSDP(u"v=0\r\ns=nothing\r\n");
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_L16);
}

TEST(kelIPStreamerSDPTest, StaticPayloadTypesWithoutRtpmap)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 10\r\n");
    expectFormat(*s, 44100, 2, 16, kelRTPEnc_L16);
    EXPECT_EQ(s->mapping()->r_dynType, 10);
    EXPECT_STREQ(s->mapping()->r_mediaType, "L16");
    // MPA changes only the encoding.
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 14\r\n");
    expectFormat(*s, 44100, 2, 16, kelRTPEnc_MPA);
    EXPECT_STREQ(s->mapping()->r_mediaType, "MPA");
    EXPECT_EQ(s->mapping()->r_dynType, 14);
}

TEST(kelIPStreamerSDPTest, TTLComesFromTheMediaConnectionAndPortOnlyWhenAsked)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setURI(u"rtp://127.0.0.1:5020");
    s->setSDP(u"v=0\r\nm=audio 5030 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/16\r\n");
    EXPECT_EQ(s->TTL(), 16);
    EXPECT_EQ(s->uriPort(), u"5020");
    s->setSDPignorePort(false);
    s->setSDP(u"v=0\r\nm=audio 5032 RTP/AVP 0\r\n");
    EXPECT_EQ(s->TTL(), 16); // no TTL given: kept
    EXPECT_EQ(s->uriPort(), u"5032");
    for (const char16_t* port : {u"0", u"5034/2", u"70000", u"x"}) {
        s->setSDP(kelString(u"v=0\r\nm=audio ") + port + u" RTP/AVP 0\r\n");
        EXPECT_EQ(s->uriPort(), u"5032");
    }
}

TEST(kelIPStreamerSDPTest, AFailedRtpmapLeavesTheFormat)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 0\r\na=rtpmap:0\r\n");
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_L16);
    EXPECT_EQ(s->mapping()->r_dynType, 98);
    EXPECT_EQ(s->events(), "");
}

TEST(kelIPStreamerSDPTest, FmtpBitrateReachesTheFormat)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 100\r\na=rtpmap:100 G7221/16000\r\na=fmtp:100 bitrate=24\r\n");
    EXPECT_EQ(s->encoding(), kelRTPEnc_G7221);
    EXPECT_EQ(s->bitrate(), 24);
    EXPECT_EQ(s->mapping()->r_fmt_bitrate, 24);
    EXPECT_EQ(s->mapping()->r_dynType, 100);
}

TEST(kelIPStreamerSDPTest, DescriptionsAsFfmpegWritesThem)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDPignorePort(false);

    s->setSDP(peerSDP("ffmpeg-pcmu.sdp"));
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_PCMU);
    EXPECT_EQ(s->mapping()->r_dynType, 0);
    EXPECT_STREQ(s->mapping()->r_mediaType, "PCMU");
    EXPECT_EQ(s->uriPort(), u"25010");
    EXPECT_EQ(s->TTL(), 0);

    s->setSDP(peerSDP("ffmpeg-speex.sdp"));
    expectFormat(*s, 16000, 1, 16, kelRTPEnc_speex);
    EXPECT_EQ(s->mapping()->r_dynType, 97);
    EXPECT_STREQ(s->mapping()->r_mediaType, "speex");
    EXPECT_EQ(s->uriPort(), u"25012");

    s->setSDP(peerSDP("ffmpeg-l16.sdp"));
    expectFormat(*s, 16000, 2, 16, kelRTPEnc_L16);
    EXPECT_EQ(s->mapping()->r_dynType, 97);

    // Payload type 9 is not one we know without rtpmap: the format stays
    // and the type is taken for it.
    s->setSDP(peerSDP("ffmpeg-g722.sdp"));
    expectFormat(*s, 16000, 2, 16, kelRTPEnc_L16);
    EXPECT_EQ(s->mapping()->r_dynType, 9);
    EXPECT_EQ(s->uriPort(), u"25016");

    // The first media description counts: AAC, an encoding we have no code
    // for, so the current code stays while rate and channels follow.
    s->setSDP(peerSDP("ffmpeg-pcmu.sdp"));
    s->setSDP(peerSDP("ffmpeg-aac-mpeg4.sdp"));
    EXPECT_EQ(s->samplingRate(), 44100);
    EXPECT_EQ(s->numChannels(), 2);
    EXPECT_EQ(s->encoding(), kelRTPEnc_PCMU);
    EXPECT_EQ(s->mapping()->r_dynType, 97);
    EXPECT_STREQ(s->mapping()->r_mediaType, "MPEG4-G");
    EXPECT_EQ(s->uriPort(), u"25004");
}

TEST(kelIPStreamerSDPTest, DescriptionAsAGStreamerRTSPServerAnswersIt)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->setSDPignorePort(false);
    s->setURI(u"rtsp://127.0.0.1:8554/test");
    s->setSDP(peerSDP("gstreamer-describe.rtsp"));
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_PCMU);
    EXPECT_EQ(s->mapping()->r_dynType, 0);
    EXPECT_STREQ(s->mapping()->r_mediaType, "PCMU");
    EXPECT_EQ(s->uriPort(), u"8554"); // the media port 0 is no port
    EXPECT_EQ(s->TTL(), 0);
}

TEST(kelIPStreamerFormatTest, UpdateFormatKeepsValuesBelowOneAndFiresOnce)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    s->clearEvents();
    s->updateFormat(-1, -1, -1, kelRTPEnc_MPA, 0);
    EXPECT_EQ(s->events(), "BA");
    expectFormat(*s, 8000, 1, 16, kelRTPEnc_MPA);
    s->updateFormat(-1, -1, -1, kelRTPEnc_MPA, 0);
    s->updateFormat(8000, 1, 0, kelRTPEnc_MPA, -5);
    EXPECT_EQ(s->events(), "BA");
    s->updateFormat(48000, 2, 0, 0, 128);
    EXPECT_EQ(s->events(), "BABA");
    expectFormat(*s, 48000, 2, 16, kelRTPEnc_MPA);
    EXPECT_EQ(s->bitrate(), 128);
    EXPECT_EQ(s->mapping()->r_fmt_bitrate, 128);
}

TEST(kelIPStreamerFormatTest, ExchangeBlockIsFortyBytesOnceItHasARate)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    std::vector<uint8_t> data;
    EXPECT_EQ(s->getFormatExchangeData(data), 0u);
    const kelWaveFormat wf{kelWaveFormatTagPCM, {16000, 16, 2}, 0xA0000000u};
    s->setExmtFormat(wf);
    ASSERT_EQ(s->getFormatExchangeData(data), 40u);
    ASSERT_EQ(data.size(), 40u);
    EXPECT_EQ(std::memcmp(data.data(), &wf, 40), 0);
}

TEST(kelIPStreamerSDPTest, AFormatHandlerMaySetAnotherDescription)
{
    auto s = kelMakeOwned<kelTestStreamer>();
    kelIPStreamer* raw = s.get();
    s->setOnFormatChangeAfter([raw](kelmtlInOutPipe*, kelmtlInOutPipe*, const void*, uint32_t) {
        if (raw->encoding() == kelRTPEnc_PCMA) raw->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 0\r\n");
    });
    s->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 8\r\n");
    EXPECT_EQ(s->encoding(), kelRTPEnc_PCMU);
    EXPECT_EQ(s->SDP(), u"v=0\r\nm=audio 0 RTP/AVP 0\r\n");
}
