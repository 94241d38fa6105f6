// Session descriptions written live by real peers: ffmpeg's -sdp_file and a
// GStreamer RTSP server's DESCRIBE answer. Both peers talk to 127.0.0.1 only.
#include "net/protocols/kelParsers.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool executable(const char* path)
{
    return access(path, X_OK) == 0;
}

TEST(kelSDPInteropTest, ReadsWhatFfmpegWritesForTwoRtpStreams)
{
    if (!executable("/usr/bin/ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sdpFile = dir.path() + "/out.sdp";
    int rc = kelTestProcess::runToEnd({"/usr/bin/ffmpeg",
                                       "-nostdin",
                                       "-hide_banner",
                                       "-loglevel",
                                       "error",
                                       "-f",
                                       "lavfi",
                                       "-i",
                                       "sine=frequency=440:duration=0.1:sample_rate=44100",
                                       "-map",
                                       "0:a",
                                       "-c:a",
                                       "pcm_s16be",
                                       "-ar",
                                       "16000",
                                       "-ac",
                                       "1",
                                       "-f",
                                       "rtp",
                                       "rtp://127.0.0.1:25104",
                                       "-map",
                                       "0:a",
                                       "-c:a",
                                       "pcm_mulaw",
                                       "-ar",
                                       "8000",
                                       "-ac",
                                       "1",
                                       "-f",
                                       "rtp",
                                       "rtp://127.0.0.1:25106",
                                       "-sdp_file",
                                       sdpFile},
                                      60000);
    ASSERT_EQ(rc, 0);
    kelSDPParser sdp;
    sdp.applyPayload(kelReadBytes(sdpFile));
    EXPECT_EQ(sdp.f_v, 0);
    ASSERT_EQ(sdp.getMDCount(), 2);
    EXPECT_EQ(sdp.getMD(0)->r_type, u"audio");
    EXPECT_EQ(sdp.getMD(0)->r_port, u"25104");
    const kelString rtpmap = sdp.getMD(0)->r_rtpmap;
    EXPECT_EQ(rtpmap.substr(rtpmap.find(u' ') + 1), u"L16/16000/1");
    // A dynamic payload type, named by the rtpmap that maps it.
    const std::string format = std::to_string(sdp.getMD(0)->r_format);
    EXPECT_GE(sdp.getMD(0)->r_format, 96);
    EXPECT_EQ(rtpmap.substr(0, rtpmap.find(u' ')), kelString(format.begin(), format.end()));
    EXPECT_EQ(sdp.getMD(0)->r_c.r_connAddr, u"127.0.0.1");
    EXPECT_EQ(sdp.getMD(1)->r_port, u"25106");
    EXPECT_EQ(sdp.getMD(1)->r_format, 0);
}

TEST(kelSDPInteropTest, ReadsAGStreamerRtspServersDescribeAnswer)
{
    const std::string script = std::string(KEL_TEST_VECTORS) + "/sdp/make-gst-describe.py";
    if (!executable("/usr/bin/python3") ||
        kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', "
                                  "'1.0'); from gi.repository import GstRtspServer"},
                                 30000) != 0)
        GTEST_SKIP() << "python3-gi with the GStreamer RTSP server bindings is not installed "
                        "(scripts/install-deps installs them)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string out = dir.path() + "/describe.rtsp";
    ASSERT_EQ(kelTestProcess::runToEnd({"/usr/bin/python3", script, out}, 60000), 0);
    kelHTTPparser answer;
    answer.feed(kelReadBytes(out));
    EXPECT_EQ(answer.getRespCode(), 200);
    EXPECT_EQ(answer.getHeaderValue(kelString(u"content-type"), true), u"application/sdp");
    ASSERT_TRUE(answer.getPayloadComplete(true, -1));
    kelSDPParser sdp(&answer);
    ASSERT_EQ(sdp.getMDCount(), 2);
    EXPECT_EQ(sdp.getMD(0)->r_rtpmap, u"0 PCMU/8000");
    EXPECT_EQ(sdp.getMD(0)->r_control, u"stream=0");
    EXPECT_EQ(sdp.getMD(1)->r_rtpmap, u"96 L16/44100/2");
    EXPECT_EQ(sdp.getMD(1)->r_control, u"stream=1");
}

} // namespace
