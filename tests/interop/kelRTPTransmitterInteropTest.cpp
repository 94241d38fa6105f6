// Our transmitter against GStreamer on 127.0.0.1: rtpL16depay must give back
// exactly the samples we sent, and an rtpbin session must take our RTCP: it
// learns our sender report's counts and our CNAME, and our BYE ends the
// source.

#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestProcess.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"
#include "net/sockets/kelSockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cmath>
#include <regex>

namespace {

// A UDP port on 127.0.0.1 (with the one above it) that was free a moment
// ago.
uint16_t freePortPair()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        kelUdpSocket a, b;
        a.setBindToIP(u"127.0.0.1");
        b.setBindToIP(u"127.0.0.1");
        if (a.bindSocketToPort(0) != 0) continue;
        sockaddr_in bound{};
        (void)a.getSockAddrBound(bound);
        const uint16_t port = ntohs(bound.sin_port);
        if (port % 2 == 0 && port < 65000 && b.bindSocketToPort(port + 1) == 0) return port;
    }
    return 0;
}

// True once something (the peer) holds `port` on 127.0.0.1.
bool portTaken(uint16_t port)
{
    kelUdpSocket probe;
    probe.setBindToIP(u"127.0.0.1");
    return probe.bindSocketToPort(port) != 0;
}

std::string tone(size_t samples, size_t offset)
{
    std::string pcm;
    for (size_t i = 0; i < samples; ++i) {
        const auto v =
            static_cast<int16_t>(12000 * std::sin(2 * M_PI * 440.0 * double(offset + i) / 44100.0));
        pcm.push_back(static_cast<char>(uint16_t(v) >> 8));
        pcm.push_back(static_cast<char>(uint16_t(v) & 0xFF));
    }
    return pcm;
}

kelOwned<kelRTPTransmitter> openTransmitter(uint16_t destPort)
{
    kelOwned<kelRTPTransmitter> t(kelCreate<kelRTPTransmitter>(
        kelRTPPayloadL16Mono, false, false, kelString(u"127.0.0.1"), kelString(u"0"), kelString(), 1));
    if (!t || !t->open()) return nullptr;
    if (t->destAdd(true, u"127.0.0.1", formatInteger(destPort), kelString(), true) < 0) return nullptr;
    return t;
}

TEST(kelRTPTransmitterInteropTest, GStreamerDepayloadsOurL16ByteIdentical)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs gstreamer1.0-tools)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = freePortPair();
    ASSERT_NE(port, 0);
    const std::string out = dir.path() + "/received.raw";
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(
        {"gst-launch-1.0", "-q", "-e", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(port),
         "caps=application/x-rtp,media=audio,clock-rate=44100,encoding-name=L16,channels=1,payload=11", "!",
         "rtpL16depay", "!", "filesink", "buffer-mode=2", "location=" + out},
        dir.path() + "/gst.log"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return portTaken(port) || gst.exited(); }, 20000)) << gst.log();
    ASSERT_FALSE(gst.exited()) << gst.log();

    auto t = openTransmitter(port);
    ASSERT_TRUE(t);
    std::string sent;
    for (size_t i = 0; i < 60; ++i) {
        const std::string chunk = tone(441, i * 441);
        ASSERT_EQ(t->transmit(441, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()), 12 + 882);
        sent += chunk;
        kelSleepMs(2); // pacing, so the peer's socket buffer never overflows
    }
    EXPECT_TRUE(kelTestWaitUntil([&] { return kelTestProcess::readFile(out).size() >= sent.size(); }, 10000));
    gst.stop();
    EXPECT_TRUE(kelTestProcess::readFile(out) == sent) << "depayloaded bytes differ; " << gst.log();
}

TEST(kelRTPTransmitterInteropTest, RtpbinTakesOurReportsCnameAndBye)
{
    if (::access("/usr/bin/python3", X_OK) != 0 ||
        std::system("/usr/bin/python3 -c \"import gi; gi.require_version('Gst', '1.0')\" >/dev/null 2>&1") !=
            0)
        GTEST_SKIP()
            << "python3-gi with GStreamer introspection not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = freePortPair();
    ASSERT_NE(port, 0);

    auto t = openTransmitter(port);
    ASSERT_TRUE(t);
    const uint16_t ourRtcp = t->rtcp()->boundPort();
    ASSERT_NE(ourRtcp, 0);
    const std::string script = std::string(KEL_SOURCE_DIR) + "/tests/interop/kelRTPTransmitterRtpbinPeer.py";
    kelTestProcess peer;
    ASSERT_TRUE(peer.start(
        {"/usr/bin/python3", "-u", script, std::to_string(port), std::to_string(ourRtcp), "44100", "11"},
        dir.path() + "/rtpbin.log"));
    ASSERT_TRUE(kelTestWaitUntil(
        [&] { return peer.log().find("READY") != std::string::npos || peer.exited(); }, 20000))
        << peer.log();
    ASSERT_TRUE(kelTestWaitUntil([&] { return portTaken(port) && portTaken(port + 1); }, 5000));

    // Before any media or report: a lone hello would be refused by the
    // session's compound check; ours leads with an RR and carries the CNAME,
    // which the peer learns from it.
    const std::string ssrc = std::to_string(t->_SSRC());
    const std::string cnameLine = "CNAME " + ssrc + " " + t->receiver()->cname8();
    ASSERT_EQ(
        t->rtcp()->sendAPPto(kelTestLoopback(static_cast<uint16_t>(port + 1)), 0, "HELO", nullptr, 0, false),
        0);
    EXPECT_TRUE(kelTestWaitUntil([&] { return peer.log().find(cnameLine) != std::string::npos; }, 10000))
        << "the hello compound was not taken: expected \"" << cnameLine << "\" in:\n"
        << peer.log();

    const size_t packets = 25;
    for (size_t i = 0; i < packets; ++i) {
        const std::string chunk = tone(441, i * 441);
        ASSERT_GT(t->transmit(441, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()), 0);
        kelSleepMs(2);
    }
    // Our first report comes within about three seconds, the next within
    // about six: by then every packet above has been counted.
    const std::string srLine =
        "SR " + ssrc + " " + std::to_string(packets) + " " + std::to_string(packets * 882);
    EXPECT_TRUE(kelTestWaitUntil([&] { return peer.log().find(srLine) != std::string::npos; }, 20000))
        << "expected \"" << srLine << "\" in:\n"
        << peer.log();
    t->close(false);
    EXPECT_TRUE(kelTestWaitUntil([&] { return peer.log().find("BYE " + ssrc) != std::string::npos; }, 10000))
        << peer.log();
    peer.stop();
}

} // namespace
