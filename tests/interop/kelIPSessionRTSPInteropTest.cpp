// Our receiver on rtsp URIs against two real servers: GStreamer's RTSP
// server (tests/interop/kelRTSPGstServer.py, a shared live tone) and VLC's
// RTSP output of a WAV file (run as an unprivileged user, since VLC refuses
// root). Both are started here on 127.0.0.1 and stopped by their PIDs. The
// stream must arrive as L16 in the server's SSRC, which the SETUP answer
// names in hex; from VLC it must be a contiguous run of the file's samples.
#include "core/kelUtf.h"
#include "net/rtp/kelRTPReceiver.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

struct Played
{
    kelOwned<TkelIPReceiver> r{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    // Opens on `uri` and waits for `bytes` of PCM. With `retry`, a session
    // the server refused (VLC answers 500 until its stream is ready) is
    // opened again.
    void play(const kelString& uri, size_t bytes, bool retry = false)
    {
        ASSERT_TRUE(r->addConsumer(sink.get()));
        r->setURI(uri);
        ASSERT_TRUE(r->open()) << utf16ToUtf8(r->descriptionError());
        ASSERT_TRUE(kelTestWaitUntil(
            [&] {
                if (retry && !r->active()) (void)r->open();
                return sink->size() >= bytes || (!retry && !r->active());
            },
            30000))
            << utf16ToUtf8(r->descriptionError());
        ASSERT_GE(sink->size(), bytes) << utf16ToUtf8(r->descriptionError());
        EXPECT_TRUE(r->active());
        EXPECT_EQ(r->encoding(), 15);
        EXPECT_EQ(r->samplingRate(), 8000);
        // The server's SSRC, read in hex from its SETUP answer, is the one
        // its packets carry.
        EXPECT_TRUE(r->hasServerSSRC());
        EXPECT_EQ(r->rtspServerSSRC(), r->rec()->transmitterSSRC());
        EXPECT_NE(r->descriptionInfo().find(u"url="), kelString::npos) << utf16ToUtf8(r->descriptionInfo());
        EXPECT_FALSE(r->rtspSession().empty());
    }
};

TEST(kelIPReceiverRTSPInterop, PlaysGStreamersServerAndTearsDown)
{
    if (kelTestProcess::runToEnd({"/usr/bin/python3", "-c",
                                  "import gi; gi.require_version('GstRtspServer', '1.0'); "
                                  "from gi.repository import GstRtspServer"},
                                 20000) != 0)
        GTEST_SKIP() << "GStreamer's RTSP server is not installed (python3-gi, gir1.2-gst-rtsp-server-1.0)";
    kelTempDir dir;
    kelTestProcess server;
    ASSERT_TRUE(server.start({"/usr/bin/python3", KEL_SOURCE_DIR "/tests/interop/kelRTSPGstServer.py"},
                             dir.path() + "/server.log"));
    const auto line = server.waitLine("PORT ", 20000);
    ASSERT_TRUE(line.has_value()) << server.log();
    const kelString uri = utf8ToUtf16("rtsp://127.0.0.1:" + line->substr(5) + "/s");
    {
        Played p;
        p.play(uri, 16000);
        // A tone, not silence.
        const std::string pcm = p.sink->bytes();
        int peak = 0;
        for (size_t i = 0; i + 1 < pcm.size(); i += 2)
            peak =
                std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(
                                   static_cast<uint8_t>(pcm[i]) | (static_cast<uint8_t>(pcm[i + 1]) << 8)))));
        EXPECT_GT(peak, 1000);
        p.r->close();
        EXPECT_FALSE(p.r->active());
    }
    // The session was torn down: the shared media plays to a new client.
    Played again;
    again.play(uri, 4000);
    again.r->close();
}

TEST(kelIPReceiverRTSPInterop, PlaysVLCsRTSPOutputAsAContiguousRunOfTheFile)
{
    if (!kelTestProcess::available("cvlc") || !kelTestProcess::available("ffmpeg") ||
        !kelTestProcess::available("setpriv"))
        GTEST_SKIP() << "cvlc, ffmpeg or setpriv not installed (scripts/install-deps installs vlc-bin, "
                        "vlc-plugin-base)";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user to run VLC as";
    kelTempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string wav = dir.path() + "/in.wav";
    ASSERT_EQ(kelTestProcess::runToEnd({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                        "anoisesrc=duration=40:seed=7:amplitude=0.5", "-ar", "8000", "-ac",
                                        "1", "-c:a", "pcm_s16le", "-y", wav},
                                       60000),
              0);
    ::chmod(wav.c_str(), 0644);
    const std::string file = kelReadBytes(wav);
    ASSERT_GT(file.size(), 600000u);
    const uint16_t port = kelTestFreeTcpPort();
    ASSERT_NE(port, 0);
    const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
    kelTestProcess vlc;
    ASSERT_TRUE(vlc.start({"setpriv", "--reuid=" + uid, "--regid=" + gid, "--clear-groups", "env",
                           "HOME=" + dir.path(), "cvlc", "-I", "dummy", "--no-audio", wav, "--sout",
                           "#rtp{sdp=rtsp://127.0.0.1:" + std::to_string(port) + "/s}"},
                          dir.path() + "/vlc.log"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return kelTestTcpListening(port); }, 30000)) << vlc.log();

    Played p;
    p.play(utf8ToUtf16("rtsp://127.0.0.1:" + std::to_string(port) + "/s"), 16000, true);
    const std::string pcm = p.sink->bytes();
    // Past the first packets, a run of the file's samples, aligned to
    // them.
    const size_t data = file.find("data");
    ASSERT_NE(data, std::string::npos);
    const std::string run = pcm.substr(2000, 8000);
    const size_t at = file.find(run, data + 8);
    ASSERT_NE(at, std::string::npos) << vlc.log();
    EXPECT_EQ((at - data - 8) % 2, 0u);
    p.r->close();
    vlc.stop();
}

} // namespace
