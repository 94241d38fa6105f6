#include "net/protocols/kelSDPParser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string readVector(const std::string& name)
{
    std::ifstream in(std::string(KEL_TEST_VECTORS) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string withoutCR(std::string text)
{
    std::erase(text, '\r');
    return text;
}

TEST(kelSDPParserTest, ReadsSessionAndMediaBlocks)
{
    kelSDPParser sdp;
    sdp.applyPayload(std::string_view("v=0\r\n"
                                      "o=alice 2890844526 2890842807 IN IP4 127.0.0.1\r\n"
                                      "s=Talk\r\n"
                                      "c=IN IP4 127.0.0.1\r\n"
                                      "t=0 0\r\n"
                                      "m=audio 49170 RTP/AVP 96\r\n"
                                      "a=rtpmap:96 L16/8000\r\n"
                                      "m=text 11000 RTP/AVP 113 98\r\n"
                                      "a=rtpmap:113 t140/1000\r\n"));
    EXPECT_EQ(sdp.f_v, 0);
    EXPECT_EQ(sdp.f_o->r_username, u"alice");
    EXPECT_EQ(sdp.f_o->r_sessversion, u"2890842807");
    EXPECT_EQ(sdp.f_o->r_unicastAddress, u"127.0.0.1");
    EXPECT_EQ(sdp.f_s, u"Talk");
    EXPECT_EQ(sdp.f_c.r_connAddr, u"127.0.0.1");
    EXPECT_EQ(sdp.f_t, u"0 0");
    ASSERT_EQ(sdp.getMDCount(), 2);
    const kelSDPMediaDescription* a = sdp.getMD(0);
    EXPECT_EQ(a->r_port, u"49170");
    EXPECT_EQ(a->r_proto, u"RTP/AVP");
    EXPECT_EQ(a->r_format, 96);
    EXPECT_EQ(a->r_rtpmap, u"96 L16/8000");
    EXPECT_EQ(a->r_a, u"rtpmap:96 L16/8000\r\n");
    EXPECT_EQ(a->r_c.r_ttl, -1);
    EXPECT_EQ(sdp.getMD(1)->r_format, 113);
    EXPECT_EQ(sdp.getMD(1)->r_rtpmap, u"113 t140/1000");
    EXPECT_EQ(sdp.getMD(2), nullptr);
}

TEST(kelSDPParserTest, JoinsRepeatedLinesAsEachFieldKeepsThem)
{
    kelSDPParser sdp;
    sdp.applyPayload(std::string_view("v=0\n"
                                      "s=-\n"
                                      "b=CT:128\nb=AS:64\n"
                                      "t=1 2\nr=7d 1h 0 25h\nt=3 4\n"
                                      "k=clear:x\n"
                                      "a=recvonly\na=tool:y\n"
                                      "m=audio 5004/2 RTP/AVP x\n"
                                      "a=control:track1\nb=AS:32\na=fmtp:96 a=1\ni=first\ni=second\n"
                                      "c=IN IP4 127.0.0.2/16\na=fmtp:97 b=2\na=control:track2\nk=prompt\n"));
    EXPECT_EQ(sdp.f_b, u"CT:128\r\nAS:64");
    EXPECT_EQ(sdp.f_t, u"1 2\r\n3 4");
    EXPECT_EQ(sdp.f_k, u"clear:x");
    EXPECT_EQ(sdp.f_a, u"recvonly\r\ntool:y");
    ASSERT_EQ(sdp.getMDCount(), 1);
    const kelSDPMediaDescription* m = sdp.getMD(0);
    EXPECT_EQ(m->r_port, u"5004/2");
    EXPECT_EQ(m->r_format, -1);
    EXPECT_EQ(m->r_control, u"track1\r\ntrack2");
    EXPECT_EQ(m->r_fmtp, u"96 a=1\r\n97 b=2\r\n");
    EXPECT_EQ(m->r_b, u"AS:32\r\n");
    EXPECT_EQ(m->r_i, u"second");
    EXPECT_EQ(m->r_k, u"prompt");
    EXPECT_EQ(m->r_c.r_connAddr, u"127.0.0.2");
    EXPECT_EQ(m->r_c.r_ttl, 16);
    EXPECT_EQ(m->r_a, u"control:track1\r\nfmtp:96 a=1\r\nfmtp:97 b=2\r\ncontrol:track2\r\n");
}

TEST(kelSDPParserTest, StopsAtTheFirstLineOutOfOrder)
{
    kelSDPParser sdp;
    sdp.applyPayload(std::string_view("v=0\r\ns=x\r\no=- 1 1 IN IP4 127.0.0.1\r\nm=audio 1 RTP/AVP 0\r\n"));
    EXPECT_EQ(sdp.f_s, u"x");
    EXPECT_EQ(sdp.f_o->r_username, u"");
    EXPECT_EQ(sdp.getMDCount(), 0);

    // A media block ends at a line that belongs to no media block.
    sdp.applyPayload(std::string_view("v=0\r\nm=audio 1 RTP/AVP 0\r\nt=0 0\r\nm=video 2 RTP/AVP 26\r\n"));
    EXPECT_EQ(sdp.getMDCount(), 1);
    EXPECT_EQ(sdp.f_s, u"");

    // Without a leading "v" (or with a bad one) nothing is read.
    sdp.applyPayload(std::string_view("s=x\r\nm=audio 1 RTP/AVP 0\r\n"));
    EXPECT_EQ(sdp.getMDCount(), 0);
    EXPECT_EQ(sdp.f_v, -1);
    sdp.applyPayload(std::string_view("v=-1\r\nm=audio 1 RTP/AVP 0\r\n"));
    EXPECT_EQ(sdp.getMDCount(), 0);
    sdp.applyPayload(std::string_view("V=0\r\nm=audio 1 RTP/AVP 0\r\n"));
    EXPECT_EQ(sdp.getMDCount(), 0);

    // An empty text changes nothing.
    sdp.applyPayload(std::string_view("v=0\r\nm=audio 1 RTP/AVP 0\r\n"));
    sdp.applyPayload(std::string_view());
    EXPECT_EQ(sdp.getMDCount(), 1);
}

TEST(kelSDPParserTest, ReadsConnectionSuffixes)
{
    kelSDPConnectionInfo c;
    parseSDPConnection(u"IN IP4 224.2.1.1/127/3", c);
    EXPECT_EQ(c.r_netType, u"IN");
    EXPECT_EQ(c.r_addrType, u"IP4");
    EXPECT_EQ(c.r_connAddr, u"224.2.1.1");
    EXPECT_EQ(c.r_ttl, 127);
    EXPECT_EQ(c.r_numberOfAddresses, 3);

    parseSDPConnection(u"IN IP4 127.0.0.1", c);
    EXPECT_EQ(c.r_connAddr, u"127.0.0.1");
    EXPECT_EQ(c.r_ttl, -1);
    EXPECT_EQ(c.r_numberOfAddresses, 1);

    parseSDPConnection(u"IN IP4 224.2.1.1/x/0", c);
    EXPECT_EQ(c.r_ttl, -1);
    EXPECT_EQ(c.r_numberOfAddresses, 1);

    // IPv6 multicast carries no TTL: its one suffix counts addresses.
    parseSDPConnection(u"IN IP6 FF15::101/3", c);
    EXPECT_EQ(c.r_connAddr, u"FF15::101");
    EXPECT_EQ(c.r_ttl, -1);
    EXPECT_EQ(c.r_numberOfAddresses, 3);

    parseSDPConnection(u"IN IP4", c);
    EXPECT_EQ(c.r_addrType, u"IP4");
    EXPECT_EQ(c.r_connAddr, u"");
    parseSDPConnection(u"IN", c);
    EXPECT_EQ(c.r_netType, u"IN");
    EXPECT_EQ(c.r_addrType, u"");
}

TEST(kelSDPParserTest, ReadsAnFfmpegSdpFile)
{
    const std::string text = readVector("sdp/ffmpeg-aac-mpeg4.sdp");
    ASSERT_FALSE(text.empty());
    // The same description with LF-only line ends reads alike.
    for (const std::string& variant : {text, withoutCR(text)}) {
        kelSDPParser sdp;
        sdp.applyPayload(variant);
        EXPECT_EQ(sdp.f_s, u"No Name");
        EXPECT_EQ(sdp.f_o->r_unicastAddress, u"127.0.0.1");
        EXPECT_EQ(sdp.f_a, u"tool:libavformat LIBAVFORMAT_VERSION");
        ASSERT_EQ(sdp.getMDCount(), 2);
        const kelSDPMediaDescription* audio = sdp.getMD(0);
        EXPECT_EQ(audio->r_type, u"audio");
        EXPECT_EQ(audio->r_port, u"25004");
        EXPECT_EQ(audio->r_format, 97);
        EXPECT_EQ(audio->r_c.r_connAddr, u"127.0.0.1");
        EXPECT_EQ(audio->r_b, u"AS:128\r\n");
        EXPECT_EQ(audio->r_rtpmap, u"97 MPEG4-GENERIC/44100/2");
        EXPECT_EQ(audio->r_fmtp, u"97 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;"
                                 u"indexdeltalength=3; config=121056E500\r\n");
        const kelSDPMediaDescription* video = sdp.getMD(1);
        EXPECT_EQ(video->r_type, u"video");
        EXPECT_EQ(video->r_format, 96);
        EXPECT_EQ(video->r_rtpmap, u"96 MP4V-ES/90000");
        EXPECT_EQ(video->r_fmtp, u"96 profile-level-id=1\r\n");
    }
}

TEST(kelSDPParserTest, ReadsTheBodyOfAGStreamerDescribeAnswer)
{
    kelHTTPparser answer;
    answer.feed(readVector("sdp/gstreamer-describe.rtsp"));
    EXPECT_EQ(answer.getRespCode(), 200);
    EXPECT_EQ(answer.getHeaderCount(), 6);
    EXPECT_EQ(answer.getPayloadSize(), 531);
    kelSDPParser sdp(&answer);
    EXPECT_EQ(sdp.f_o->r_sessid, u"16439758004791338659");
    EXPECT_EQ(sdp.f_s, u"Session streamed with GStreamer");
    EXPECT_EQ(sdp.f_i, u"rtsp-server");
    EXPECT_EQ(sdp.f_a, u"tool:GStreamer\r\ntype:broadcast\r\ncontrol:*\r\nrange:npt=now-");
    ASSERT_EQ(sdp.getMDCount(), 2);
    EXPECT_EQ(sdp.getMD(0)->r_format, 0);
    EXPECT_EQ(sdp.getMD(0)->r_rtpmap, u"0 PCMU/8000");
    EXPECT_EQ(sdp.getMD(0)->r_control, u"stream=0");
    EXPECT_EQ(sdp.getMD(0)->r_c.r_connAddr, u"0.0.0.0");
    EXPECT_EQ(sdp.getMD(0)->r_c.r_ttl, -1);
    EXPECT_EQ(sdp.getMD(1)->r_rtpmap, u"96 L16/44100/2");
    EXPECT_EQ(sdp.getMD(1)->r_control, u"stream=1");

    // An answer whose body has not fully arrived is not applied.
    kelHTTPparser partial;
    const std::string whole = readVector("sdp/gstreamer-describe.rtsp");
    partial.feed(whole.substr(0, whole.size() - 10));
    kelSDPParser none(&partial);
    EXPECT_EQ(none.getMDCount(), 0);
    EXPECT_EQ(none.f_v, -1);
}

} // namespace
