// Our transmitter on an rtsp URI serving real RTSP clients on 127.0.0.1:
// ffmpeg and GStreamer's rtspsrc play its 8 kHz L16 stream (what they
// write out must be one contiguous run of what was fed in), curl walks it
// request by request, two clients at once keep their own sessions, a
// client asking for interleaved TCP is refused, and a client killed
// without TEARDOWN loses its session once it has been silent long enough.
// Each peer skips when it is missing; every peer is stopped by its PID.
#include "core/kelClock.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestL16Feeder.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRTSPPeer.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kPeerMs = 60000;
// Two seconds of 8 kHz 16-bit mono, less what a client may drop while it
// starts (its first packets wait for the jitter buffer).
constexpr size_t kTwoSecondsBytes = 2 * 8000 * 2;

bool haveGst()
{
    return kelTestProcess::available("gst-launch-1.0") &&
           kelTestProcess::runToEnd({"gst-inspect-1.0", "rtpL16depay"}, 20000) == 0;
}

std::string uriOf(uint16_t port)
{
    return "rtsp://127.0.0.1:" + std::to_string(port) + "/s";
}

// ffmpeg taking two seconds of the stream over UDP into `out`.
std::vector<std::string> ffmpegArgs(uint16_t port, const std::string& transport, const std::string& out)
{
    return {"ffmpeg", "-nostdin",  "-y", "-loglevel", "info", "-rtsp_transport", transport,
            "-i",     uriOf(port), "-t", "2",         "-f",   "s16be",           out};
}

std::vector<std::string> gstArgs(uint16_t port, const std::string& out)
{
    return {
        "gst-launch-1.0", "-q", "rtspsrc",  "location=" + uriOf(port), "protocols=udp", "latency=200", "!",
        "rtpL16depay",    "!",  "filesink", "location=" + out};
}

struct Served
{
    kelManualClock clock;
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx;
    std::unique_ptr<kelTestL16Feeder> feeder;
    kelTempDir dir;

    // `manual`: the transmitter runs on `clock`, which only the test moves.
    explicit Served(bool manual = false)
    {
        tx = kelTestRTSPTransmitter(port, manual ? &clock : nullptr);
        if (!tx) return;
        feeder = std::make_unique<kelTestL16Feeder>(*tx);
        feeder->start();
    }
    ~Served()
    {
        if (feeder) feeder->stop();
        if (tx) tx->close();
    }
    bool ok() const { return tx != nullptr; }
};

void expectContiguous(kelTestL16Feeder& feeder, const std::string& bytes, size_t minBytes)
{
    EXPECT_GE(bytes.size(), minBytes);
    size_t at = 0;
    EXPECT_TRUE(feeder.contiguous(bytes, at)) << bytes.size() << " bytes are not one run of the input";
}

} // namespace

TEST(kelIPTransmitterRTSPInteropTest, FfmpegPlaysAContiguousRunOverUdp)
{
    if (!kelTestProcess::available("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    Served s;
    ASSERT_TRUE(s.ok());
    const std::string out = s.dir.file("out.raw");
    kelTestProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start(ffmpegArgs(s.port, "udp", out), s.dir.file("ffmpeg.log")));
    ASSERT_TRUE(ffmpeg.waitExit(kPeerMs)) << ffmpeg.log();
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.log();
    // Two seconds exactly, cut by ffmpeg.
    expectContiguous(*s.feeder, kelTestProcess::readFile(out), kTwoSecondsBytes);
    // It left with TEARDOWN.
    EXPECT_TRUE(kelTestWaitUntil([&] { return s.tx->destCount() == 0; })) << s.tx->destCount();
}

TEST(kelIPTransmitterRTSPInteropTest, RtspsrcPlaysAContiguousRunOverUdp)
{
    if (!haveGst()) GTEST_SKIP() << "gst-launch-1.0 with rtpL16depay not installed";
    Served s;
    ASSERT_TRUE(s.ok());
    const std::string out = s.dir.file("out.raw");
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(gstArgs(s.port, out), s.dir.file("gst.log")));
    EXPECT_TRUE(
        kelTestWaitUntil([&] { return kelTestProcess::readFile(out).size() >= kTwoSecondsBytes; }, kPeerMs))
        << gst.log();
    gst.stop();
    // What the file holds up to its last whole sample.
    std::string bytes = kelTestProcess::readFile(out);
    bytes.resize(bytes.size() & ~size_t(1));
    expectContiguous(*s.feeder, bytes, kTwoSecondsBytes);
}

TEST(kelIPTransmitterRTSPInteropTest, CurlWalksDescribeSetupPlayTeardown)
{
#ifndef KEL_RTSP_CURL_CLIENT
    GTEST_SKIP() << "libcurl's development files not installed (libcurl4-openssl-dev)";
#else
    Served s;
    ASSERT_TRUE(s.ok());
    kelTestPeer client;
    ASSERT_TRUE(client.ok());
    const std::string uri = uriOf(s.port);
    // One request on a connection of its own, as curl's --rtsp-request
    // makes it; libcurl fails on an answer whose CSeq or Session is not its
    // request's.
    const auto curl = [&](const std::string& method, const std::string& extra, int& rc) {
        kelTestProcess p;
        const std::string log = s.dir.file("curl-" + method + ".log");
        rc = -1;
        if (p.start({KEL_RTSP_CURL_CLIENT, uri, method, extra}, log) && p.waitExit(kPeerMs))
            rc = p.exitCode();
        return kelTestProcess::readFile(log);
    };
    int rc = -1;
    const std::string describe = curl("DESCRIBE", "", rc);
    EXPECT_EQ(rc, 0) << describe;
    EXPECT_NE(describe.find("RTSP/1.0 200 OK\r\n"), std::string::npos) << describe;
    EXPECT_NE(describe.find("\r\n\r\nv=0\r\no=- "), std::string::npos) << describe;
    EXPECT_NE(describe.find("m=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/1"), std::string::npos) << describe;

    const std::string setup = curl("SETUP",
                                   "RTP/AVP;unicast;client_port=" + std::to_string(client.port()) + "-" +
                                       std::to_string(client.port() + 1),
                                   rc);
    EXPECT_EQ(rc, 0) << setup;
    const std::string session = kelTestRTSPConnection::header(setup, "Session");
    ASSERT_FALSE(session.empty()) << setup;
    EXPECT_NE(setup.find(";destination=127.0.0.1;client_port="), std::string::npos) << setup;
    EXPECT_EQ(s.tx->destCount(), 1);

    const std::string play = curl("PLAY", session, rc);
    EXPECT_EQ(rc, 0) << play;
    EXPECT_EQ(play.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << play;
    EXPECT_FALSE(client.receiveRTP(98, 5000).empty());

    const std::string teardown = curl("TEARDOWN", session, rc);
    EXPECT_EQ(rc, 0) << teardown;
    EXPECT_EQ(s.tx->destCount(), 0);
    const std::string again = curl("PLAY", session, rc);
    EXPECT_NE(again.find("RTSP/1.0 454 Session Not Found\r\n"), std::string::npos) << again;
#endif
}

TEST(kelIPTransmitterRTSPInteropTest, FfmpegOverInterleavedTcpGets461AndNoSession)
{
    if (!kelTestProcess::available("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    Served s;
    ASSERT_TRUE(s.ok());
    kelTestProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start(ffmpegArgs(s.port, "tcp", s.dir.file("out.raw")), s.dir.file("ffmpeg.log")));
    ASSERT_TRUE(ffmpeg.waitExit(kPeerMs)) << ffmpeg.log();
    EXPECT_NE(ffmpeg.exitCode(), 0);
    EXPECT_NE(ffmpeg.log().find("461"), std::string::npos) << ffmpeg.log();
    EXPECT_EQ(s.tx->destCount(), 0);
}

// Two clients at once; one leaving with TEARDOWN leaves the other playing;
// the other, killed, is dropped once silent for a minute of the clock.
TEST(kelIPTransmitterRTSPInteropTest, TwoClientsKeepTheirOwnSessions)
{
    if (!kelTestProcess::available("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    if (!haveGst()) GTEST_SKIP() << "gst-launch-1.0 with rtpL16depay not installed";
    Served s(true);
    ASSERT_TRUE(s.ok());
    const std::string gstOut = s.dir.file("gst.raw");
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(gstArgs(s.port, gstOut), s.dir.file("gst.log")));
    ASSERT_TRUE(kelTestWaitUntil([&] { return !kelTestProcess::readFile(gstOut).empty(); }, kPeerMs))
        << gst.log();
    kelTestProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start(ffmpegArgs(s.port, "udp", s.dir.file("ff.raw")), s.dir.file("ffmpeg.log")));
    EXPECT_TRUE(kelTestWaitUntil([&] { return s.tx->destCount() == 2; }, kPeerMs)) << ffmpeg.log();
    ASSERT_TRUE(ffmpeg.waitExit(kPeerMs)) << ffmpeg.log();
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.log();
    expectContiguous(*s.feeder, kelTestProcess::readFile(s.dir.file("ff.raw")), kTwoSecondsBytes);

    // ffmpeg's TEARDOWN took its own session only: GStreamer still gets more.
    EXPECT_TRUE(kelTestWaitUntil([&] { return s.tx->destCount() == 1; }));
    const size_t sizeThen = kelTestProcess::readFile(gstOut).size();
    EXPECT_TRUE(
        kelTestWaitUntil([&] { return kelTestProcess::readFile(gstOut).size() > sizeThen + 8000; }, kPeerMs));

    gst.signal(SIGKILL);
    ASSERT_TRUE(gst.waitExit(kPeerMs));
    EXPECT_EQ(s.tx->destCount(), 1);
    s.clock.advanceMs(TkelIPTransmitter::kRTSPSessionIdleMs + 1000);
    EXPECT_TRUE(kelTestWaitUntil([&] { return s.tx->destCount() == 0; })) << s.tx->destCount();
}
