// The IP client and server pipes against peers that share no code with
// them: a python peer written from the packet protocol's description (as
// client and as server, over TCP and UDP: the handshake, pieces out of
// order, duplicates, units cut across writes, refusal), tshark watching the
// hello on the loopback, and GStreamer's TCP and UDP elements in raw mode.

#include "components/kelMT_socks.h"
#include "components/kelWaveFormatBlock.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestCapture.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIpPipes.h"
#include "tests/support/kelTestWaveComponents.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestSha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

const std::string kPeer = std::string(KEL_SOURCE_DIR) + "/tests/interop/kelIPPipePeer.py";

// The format block of 16-bit stereo PCM at `rate`, as the pipes send it.
std::string waveBlock(uintptr_t rate)
{
    const std::vector<uint8_t> block = kelTestWaveBlock(rate, 16, 2, 3);
    return std::string(block.begin(), block.end());
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The peer's pattern: byte i is (i * 7 + seed * 13) mod 256.
std::string peerPattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + seed * 13) & 0xFF);
    return s;
}

bool havePython()
{
    return kelTestProcess::available("python3");
}

const char* name(tkelmtlProtoType proto)
{
    return proto == kelpt_TCP ? "tcp" : "udp";
}

} // namespace

TEST(kelIPPipesInteropTest, OurServerTalksToThePeerClient)
{
    if (!havePython()) GTEST_SKIP() << "python3 not installed";
    for (tkelmtlProtoType proto : {kelpt_TCP, kelpt_UDP}) {
        SCOPED_TRACE(name(proto));
        kelTempDir dir;
        kelTestIpEnd<kelmtlIPServer> server(proto);
        const std::string ours = waveBlock(32000), theirs = waveBlock(11025);
        server.pump->setFormat(ours);
        server.pipe->setPort(u"0");
        (void)server.pump->open();
        const uint16_t port = kelTestIpServerPort(server);
        ASSERT_NE(port, 0);

        kelTestProcess peer;
        ASSERT_TRUE(peer.start({"python3", kPeer, "client", name(proto), std::to_string(port), hex(theirs)},
                               dir.file("peer.log")));
        const auto format = peer.waitLine("FORMAT ", 20000);
        ASSERT_TRUE(format.has_value()) << peer.log();
        EXPECT_EQ(*format, "FORMAT " + hex(ours));
        const std::string expected = peerPattern(5000, 1) + "tail";
        ASSERT_TRUE(server.waitBytes(expected.size())) << server.sink->size();
        EXPECT_EQ(server.sink->bytes(), expected);
        const std::vector<uint8_t> remote = server.pipe->remoteFormat();
        EXPECT_EQ(hex(std::string(remote.begin(), remote.end())), hex(theirs));

        const std::string down = peerPattern(3000, 2);
        ASSERT_TRUE(server.send(down));
        const auto data = peer.waitLine("DATA ", 20000);
        ASSERT_TRUE(data.has_value()) << peer.log();
        EXPECT_EQ(*data, "DATA 3000 " + kelTestSha256(down.data(), down.size()));
        ASSERT_TRUE(peer.waitExit(20000));
        EXPECT_EQ(peer.exitCode(), 0) << peer.log();
        // The peer's goodbye ends its connection on our side.
        EXPECT_TRUE(kelTestWaitUntil([&] { return server.pipe->clientCount() == 0; }));
    }
}

TEST(kelIPPipesInteropTest, OurServerRefusesASecondPeer)
{
    if (!havePython()) GTEST_SKIP() << "python3 not installed";
    kelTempDir dir;
    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP);
    server.pipe->setPort(u"0");
    (void)server.pump->open();
    const uint16_t port = kelTestIpServerPort(server);
    ASSERT_NE(port, 0);
    kelTestFd first = kelTestFd::tcpConnect(port);
    ASSERT_TRUE(first.sendAll(kelTestIpPacket(kelIpCmdHello, 1)));
    ASSERT_TRUE(kelTestWaitUntil([&] { return server.pipe->clientCount() == 1; }));
    kelTestProcess peer;
    ASSERT_TRUE(peer.start({"python3", kPeer, "refused", "tcp", std::to_string(port)}, dir.file("peer.log")));
    ASSERT_TRUE(peer.waitExit(20000));
    EXPECT_EQ(peer.exitCode(), 0) << peer.log();
}

TEST(kelIPPipesInteropTest, OurClientTalksToThePeerServer)
{
    if (!havePython()) GTEST_SKIP() << "python3 not installed";
    for (tkelmtlProtoType proto : {kelpt_TCP, kelpt_UDP}) {
        SCOPED_TRACE(name(proto));
        kelTempDir dir;
        const std::string ours = waveBlock(44100), theirs = waveBlock(96000);
        kelTestProcess peer;
        ASSERT_TRUE(
            peer.start({"python3", kPeer, "server", name(proto), hex(theirs), "4000"}, dir.file("peer.log")));
        const auto portLine = peer.waitLine("PORT ", 20000);
        ASSERT_TRUE(portLine.has_value()) << peer.log();
        const uint16_t port = static_cast<uint16_t>(std::stoi(portLine->substr(5)));

        kelTestIpEnd<kelmtlIPClient> client(proto);
        client.pipe->setIsFormatProvider(true);
        client.pump->setFormat(ours);
        client.pipe->setHost(u"127.0.0.1");
        client.pipe->setPort(kelTestPortText(port));
        (void)client.pump->open();
        const auto hello = peer.waitLine("HELLO-BYTES ", 20000);
        ASSERT_TRUE(hello.has_value()) << peer.log();
        EXPECT_EQ(*hello, "HELLO-BYTES 0100000100800000");
        ASSERT_TRUE(kelTestWaitUntil([&] { return client.pipe->packetStack()->formatSent(); }));
        const auto format = peer.waitLine("FORMAT ", 20000);
        ASSERT_TRUE(format.has_value()) << peer.log();
        EXPECT_EQ(*format, "FORMAT " + hex(ours));
        kelWaveFormat got{};
        ASSERT_TRUE(kelTestWaitUntil([&] { return client.sink->format(got); }));
        EXPECT_EQ(got.formatOriginal.pcmSamplesPerSecond, 96000u);

        const std::string up = kelTestSocksPattern(4000, 5);
        ASSERT_TRUE(client.send(up));
        ASSERT_TRUE(client.waitBytes(3000)) << peer.log();
        EXPECT_EQ(client.sink->bytes(), peerPattern(3000, 2));
        client.pump->close();
        const auto data = peer.waitLine("DATA ", 20000);
        ASSERT_TRUE(data.has_value()) << peer.log();
        EXPECT_EQ(*data, "DATA 4000 " + kelTestSha256(up.data(), up.size()));
        ASSERT_TRUE(peer.waitExit(20000));
        EXPECT_EQ(peer.exitCode(), 0) << peer.log();
    }
}

TEST(kelIPPipesInteropTest, TsharkSeesTheHelloOnTheLoopback)
{
    if (!havePython()) GTEST_SKIP() << "python3 not installed";
    if (!kelTestProcess::available("tshark"))
        GTEST_SKIP() << "tshark not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    kelTestProcess peer;
    ASSERT_TRUE(
        peer.start({"python3", kPeer, "server", "udp", hex(waveBlock(8000)), "1"}, dir.file("peer.log")));
    const auto portLine = peer.waitLine("PORT ", 20000);
    ASSERT_TRUE(portLine.has_value()) << peer.log();
    const std::string port = portLine->substr(5);
    kelTestProcess capture;
    const std::string pcap = dir.file("hello.pcap");
    const std::string why = startCapture(capture, "udp dst port " + port, 1, pcap, dir.file("tshark.log"));
    if (!why.empty()) GTEST_SKIP() << why;

    kelTestIpEnd<kelmtlIPClient> client(kelpt_UDP);
    client.pipe->setHost(u"127.0.0.1");
    client.pipe->setPort(utf8ToUtf16(port));
    (void)client.pump->open();
    ASSERT_TRUE(capture.waitExit(20000)) << capture.log();
    const auto rows = tsharkFields("tshark -n -r '" + pcap + "' -T fields -e udp.payload 2>/dev/null");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 1u);
    std::string payload = rows[0][0];
    payload.erase(std::remove(payload.begin(), payload.end(), ':'), payload.end());
    EXPECT_EQ(payload, "0100000100800000");
}

TEST(kelIPPipesInteropTest, RawServerTurnsGStreamerBigEndianIntoLittleEndian)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    const std::string caps = "channels=2,rate=44100";
    const std::string ref = dir.file("ref.raw");
    // GStreamer's own little-endian rendering of the same big-endian samples.
    ASSERT_EQ(
        kelTestProcess::runToEnd({"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=40", "!",
                                  "audio/x-raw,format=S16BE," + caps, "!", "audioconvert", "!",
                                  "audio/x-raw,format=S16LE," + caps, "!", "filesink", "location=" + ref},
                                 60000),
        0);
    const std::string expected = kelTestProcess::readFile(ref);
    ASSERT_GT(expected.size(), 100000u);

    kelTestIpEnd<kelmtlIPServer> server(kelpt_TCP, kelsm_RAW);
    server.pipe->setStreamByteOrderInput(kelsbo_autoDetectOnce);
    server.pipe->setPort(u"0");
    (void)server.pump->open();
    const uint16_t port = kelTestIpServerPort(server);
    ASSERT_NE(port, 0);
    kelTestProcess gst;
    ASSERT_TRUE(gst.start({"gst-launch-1.0", "-q", "audiotestsrc", "num-buffers=40", "!",
                           "audio/x-raw,format=S16BE," + caps, "!", "tcpclientsink", "host=127.0.0.1",
                           "port=" + std::to_string(port)},
                          dir.file("gst.log")));
    ASSERT_TRUE(gst.waitExit(60000)) << gst.log();
    ASSERT_EQ(gst.exitCode(), 0) << gst.log();
    // All of it but the tail of under 4 bytes the byte-order processing holds.
    ASSERT_TRUE(server.waitBytes(expected.size() - 3)) << server.sink->size();
    const std::string got = server.sink->bytes();
    EXPECT_LE(got.size(), expected.size());
    const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
    EXPECT_TRUE(diff.first == got.end())
        << "first difference at byte " << (diff.first - got.begin()) << " of " << got.size();
}

TEST(kelIPPipesInteropTest, GStreamerTakesOurRawUdpClient)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    const std::string out = dir.file("udp.raw");
    kelTestProcess gst;
    ASSERT_TRUE(
        gst.start({"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(port), "!",
                   "filesink", "buffer-mode=unbuffered", "location=" + out},
                  dir.file("gst.log")));
    // Ready once it holds the port.
    ASSERT_TRUE(kelTestWaitUntil([&] { return !kelTestUdpPortFree(port) || gst.exited(); }, 20000));
    ASSERT_FALSE(gst.exited()) << gst.log();

    kelTestIpEnd<kelmtlIPClient> client(kelpt_UDP, kelsm_RAW);
    client.pipe->setHost(u"127.0.0.1");
    client.pipe->setPort(kelTestPortText(port));
    (void)client.pump->open();
    ASSERT_TRUE(kelTestWaitUntil([&] { return client.pipe->isConnected(); }));
    std::string sent;
    for (int i = 0; i < 20; ++i) {
        const std::string block = kelTestSocksPattern(1000, static_cast<unsigned>(i));
        ASSERT_TRUE(client.send(block));
        sent += block;
    }
    EXPECT_TRUE(kelTestWaitUntil([&] { return kelTestProcess::readFile(out).size() >= sent.size(); }))
        << gst.log();
    gst.stop();
    EXPECT_EQ(kelTestProcess::readFile(out), sent);
}
