// The receiver's transport stream path against real senders on 127.0.0.1:
// ffmpeg's RTP transport streams (type 33) and its raw UDP transport stream
// in 1316-byte datagrams, and GStreamer's mpegtsmux ! rtpmp2tpay. With
// mpegTS_PID 256 and decoding off, the bytes the receiver passes on are the
// MPEG audio elementary stream the sender put in, byte for byte: ffmpeg's
// own copy of the stream out of the file, or what GStreamer's encoder made
// (teed to a file). With decoding on, the PCM handed on is what mpg123
// decodes from that elementary stream. Skips when a sender is missing.
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpegTS.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

uint16_t freePortBeside(uint16_t taken)
{
    for (uint32_t p = taken + 2u; p < taken + 2000u && p < 65534u; p += 2)
        if (kelTestUdpPortFree(uint16_t(p)) && kelTestUdpPortFree(uint16_t(p + 1))) return uint16_t(p);
    return 0;
}

// Our receiver bound to 127.0.0.1:`port`, taking datagrams from `txPort`.
struct TSReceiver
{
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    bool open(const char* scheme, uint16_t port, uint16_t txPort, bool decode = false)
    {
        if (!rx || !sink || !rx->addConsumer(sink.get())) return false;
        rx->setURI(utf8ToUtf16(std::string(scheme) + "://127.0.0.1:" + std::to_string(txPort)));
        rx->setBind2ip(u"127.0.0.1");
        rx->setBind2port(utf8ToUtf16(std::to_string(port)));
        rx->setSwapRAWbytes(false);
        rx->setDoEncode(decode);
        rx->setIsFormatProvider(true);
        rx->setMpegTS_PID(256);
        if (!rx->open()) return false;
        return sink->open();
    }
    ~TSReceiver()
    {
        if (rx) rx->close();
    }
};

// Over RTP (`rtp`) the ends may be missing: the receiver holds a new
// source on probation for its first packets, and ffmpeg's RTP muxer does
// not send its last, partly filled packet. What came is then one unbroken
// run of the sent stream, nine tenths of it at least.
void expectStream(kelTestProcess& peer, TSReceiver& r, const std::string& ref, bool rtp = false)
{
    ASSERT_TRUE(peer.waitExit(60000)) << "sender did not finish: " << peer.log();
    ASSERT_EQ(peer.exitCode(), 0) << peer.log();
    ASSERT_GT(ref.size(), 10000u);
    const size_t least = rtp ? ref.size() * 9 / 10 : ref.size();
    EXPECT_TRUE(kelTestWaitUntil([&] { return r.sink->size() >= least; }, 5000));
    // Nothing more comes once the sender ended.
    EXPECT_FALSE(kelTestWaitUntil([&] { return r.sink->size() > ref.size(); }, 300));
    EXPECT_TRUE(r.rx->mpegTS_enabled());
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_MPA);
    const std::string got = r.sink->bytes();
    ASSERT_GE(got.size(), least);
    ASSERT_LE(got.size(), ref.size());
    if (rtp)
        EXPECT_NE(ref.find(got), std::string::npos) << "the elementary stream differs from what was sent";
    else
        EXPECT_TRUE(got == ref) << "the elementary stream differs from what was sent";
}

class kelIPReceiverMpegTSInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port = kelTestFreeRTPPort();
        txPort = freePortBeside(port);
        ASSERT_NE(port, 0);
        ASSERT_NE(txPort, 0);
    }
    void makeFixture()
    {
        ts = dir.file("two.ts");
        ASSERT_TRUE(kelTestMakeTwoProgramTS(ts));
        const auto copied =
            kelTestProcess::filter("ffmpeg -v error -i - -map 0:0 -c copy -f mp2 -", kelReadBytes(ts));
        ASSERT_TRUE(copied.has_value());
        ref = *copied;
    }

    kelTempDir dir;
    uint16_t port = 0;
    uint16_t txPort = 0;
    std::string ts;
    std::string ref;
};

} // namespace

TEST_F(kelIPReceiverMpegTSInteropTest, FfmpegRtpMpegtsGivesThePIDsStream)
{
    if (!kelTestProcess::available("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    makeFixture();
    TSReceiver r;
    ASSERT_TRUE(r.open("rtp", port, txPort));
    kelTestProcess ff;
    ASSERT_TRUE(ff.start(words("ffmpeg -nostdin -v error -re -i " + ts +
                               " -map 0:0 -c copy -f rtp_mpegts "
                               "rtp://127.0.0.1:" +
                               std::to_string(port) + "?localrtpport=" + std::to_string(txPort)),
                         dir.file("ffmpeg.log")));
    expectStream(ff, r, ref, true);
}

TEST_F(kelIPReceiverMpegTSInteropTest, FfmpegRawUdpMpegtsGivesThePIDsStream)
{
    if (!kelTestProcess::available("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    makeFixture();
    TSReceiver r;
    ASSERT_TRUE(r.open("udp", port, txPort));
    kelTestProcess ff;
    ASSERT_TRUE(ff.start(words("ffmpeg -nostdin -v error -re -i " + ts +
                               " -map 0 -c copy -f mpegts "
                               "udp://127.0.0.1:" +
                               std::to_string(port) + "?pkt_size=1316&localport=" + std::to_string(txPort)),
                         dir.file("ffmpeg.log")));
    expectStream(ff, r, ref);
}

TEST_F(kelIPReceiverMpegTSInteropTest, GStreamerMpegtsmuxRtpmp2tpayGivesThePIDsStream)
{
    if (!kelTestProcess::available("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 is not installed";
    if (std::system(
            "gst-inspect-1.0 mpegtsmux >/dev/null 2>&1 && gst-inspect-1.0 rtpmp2tpay >/dev/null 2>&1 && "
            "gst-inspect-1.0 lamemp3enc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mpegtsmux, rtpmp2tpay or lamemp3enc missing (gstreamer1.0-plugins-bad/-good)";
    TSReceiver r;
    ASSERT_TRUE(r.open("rtp", port, txPort));
    const std::string refPath = dir.file("sent.mp3");
    kelTestProcess gst;
    const std::string pipeline =
        "gst-launch-1.0 -q audiotestsrc num-buffers=150 is-live=true ! audio/x-raw,rate=44100,channels=2 ! "
        "lamemp3enc target=bitrate bitrate=128 cbr=true ! mpegaudioparse ! tee name=t "
        "t. ! queue ! m.sink_256 t. ! queue ! filesink location=" +
        refPath + " mpegtsmux name=m ! rtpmp2tpay ! udpsink host=127.0.0.1 port=" + std::to_string(port) +
        " bind-port=" + std::to_string(txPort);
    ASSERT_TRUE(gst.start(words(pipeline), dir.file("gst.log")));
    ASSERT_TRUE(gst.waitExit(60000)) << gst.log();
    expectStream(gst, r, kelReadBytes(refPath), true);
}

TEST_F(kelIPReceiverMpegTSInteropTest, FfmpegRawUdpMpegtsDecodesAsMpg123)
{
    if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("mpg123"))
        GTEST_SKIP() << "ffmpeg or mpg123 is not installed";
    makeFixture();
    const auto pcm = kelTestProcess::filter("mpg123 -q -s -", ref);
    ASSERT_TRUE(pcm.has_value());
    ASSERT_GT(pcm->size(), 100000u);
    TSReceiver r;
    ASSERT_TRUE(r.open("udp", port, txPort, true));
    kelTestProcess ff;
    ASSERT_TRUE(ff.start(words("ffmpeg -nostdin -v error -re -i " + ts +
                               " -map 0 -c copy -f mpegts "
                               "udp://127.0.0.1:" +
                               std::to_string(port) + "?pkt_size=1316&localport=" + std::to_string(txPort)),
                         dir.file("ffmpeg.log")));
    ASSERT_TRUE(ff.waitExit(60000)) << ff.log();
    ASSERT_EQ(ff.exitCode(), 0) << ff.log();
    // The decoder may keep its last frame until more data comes: one frame
    // of 1152 mono samples.
    const size_t least = pcm->size() - 1152 * 2;
    EXPECT_TRUE(kelTestWaitUntil([&] { return r.sink->size() >= least; }, 5000));
    const std::string got = r.sink->bytes();
    ASSERT_GE(got.size(), least);
    EXPECT_TRUE(pcm->compare(0, got.size(), got) == 0) << "the PCM differs from mpg123's";
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_MPA);
    EXPECT_EQ(r.rx->samplingRate(), 48000);
    kelWaveFormat format;
    ASSERT_TRUE(r.sink->format(format));
    EXPECT_EQ(format.formatTag, kelWaveFormatTagPCM);
    EXPECT_EQ(format.formatOriginal.pcmBitsPerSample, 16u);
}
