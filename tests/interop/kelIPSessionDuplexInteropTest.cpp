// A duplex against GStreamer on one socket each way (tests/interop/
// kelIPDuplexGstPeer.py: udpsrc and udpsink on one Gio.Socket, started here
// on 127.0.0.1 and stopped by its PID): text and L16 go both ways, our RTP
// from the socket GStreamer sends to, GStreamer's from the socket we send
// to.
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::string fromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

class kelIPSessionDuplexInterop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (kelTestProcess::runToEnd(
                {"/usr/bin/python3", "-c",
                 "import gi; gi.require_version('Gst', '1.0'); from gi.repository import Gst"},
                20000) != 0)
            GTEST_SKIP()
                << "GStreamer's Python bindings are not installed (python3-gi, gstreamer1.0-plugins-good)";
        f_gstPort = kelTestFreeRTPPort();
        f_ourPort = kelTestFreeRTPPort();
        ASSERT_TRUE(f_gstPort != 0 && f_ourPort != 0);
        f_duplex.reset(kelCreate<TkelIPDuplex>());
        f_duplex->setURI(utf8ToUtf16("rtp://127.0.0.1:" + std::to_string(f_gstPort)));
        f_duplex->setBind2port(utf8ToUtf16(std::to_string(f_ourPort)));
    }
    void startPeer(const std::string& mode)
    {
        ASSERT_TRUE(f_peer.start({"/usr/bin/python3", KEL_SOURCE_DIR "/tests/interop/kelIPDuplexGstPeer.py",
                                  std::to_string(f_gstPort), std::to_string(f_ourPort), mode},
                                 f_dir.path() + "/peer.log"));
        ASSERT_TRUE(f_peer.waitLine("READY", 20000).has_value()) << f_peer.log();
    }
    // The payloads GStreamer received with payload type `pt`, in order.
    std::string received(int pt)
    {
        std::string out;
        for (const std::string& line : f_peer.linesWith("RTP " + std::to_string(pt) + " "))
            out += fromHex(line.substr(line.rfind(' ') + 1));
        return out;
    }

    kelTempDir f_dir;
    kelTestProcess f_peer;
    uint16_t f_gstPort = 0, f_ourPort = 0;
    kelOwned<TkelIPDuplex> f_duplex;
};

TEST_F(kelIPSessionDuplexInterop, TextGoesBothWays)
{
    startPeer("text");
    std::mutex m;
    kelString heard;
    f_duplex->setOnText([&](kelmtlInOutPipe*, const char16_t* text) {
        std::lock_guard<std::mutex> l(m);
        heard += text;
    });
    ASSERT_TRUE(f_duplex->open()) << utf16ToUtf8(f_duplex->descriptionError());
    ASSERT_EQ(f_duplex->sendText(u"from kel"), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil([&] { return received(113).find("from kel") != std::string::npos; }))
        << f_peer.log();
    ASSERT_TRUE(kelTestWaitUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return heard.find(u"from gst") != kelString::npos;
    })) << f_peer.log();
    EXPECT_TRUE(f_duplex->receiver()->active());
    f_duplex->close();
}

TEST_F(kelIPSessionDuplexInterop, L16GoesBothWays)
{
    startPeer("l16");
    f_duplex->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/8000/1\r\n");
    kelOwned<kelTestByteSink> sink(kelCreate<kelTestByteSink>());
    ASSERT_TRUE(f_duplex->receiver()->addConsumer(sink.get()));
    ASSERT_TRUE(f_duplex->open()) << utf16ToUtf8(f_duplex->descriptionError());

    // One second of a ramp that does not repeat within it, 20 ms a write,
    // in host order; GStreamer must get it in network order.
    std::string ours;
    for (uint32_t k = 0; k < 8000; ++k) {
        const auto v = static_cast<uint16_t>((k * 37) & 0x7FFF);
        ours += static_cast<char>(v & 0xFF);
        ours += static_cast<char>(v >> 8);
    }
    for (size_t at = 0; at < ours.size(); at += 320)
        ASSERT_EQ(f_duplex->write(ours.data() + at, 320), 320u);
    std::string big;
    for (size_t i = 0; i + 1 < ours.size(); i += 2) {
        big += ours[i + 1];
        big += ours[i];
    }
    ASSERT_TRUE(kelTestWaitUntil([&] { return received(96).size() >= big.size() / 2; })) << f_peer.log();
    const std::string got = received(96);
    EXPECT_NE(big.find(got.substr(0, 4000)), std::string::npos);

    // GStreamer's tone, as 16-bit samples in host order.
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink->size() >= 16000; })) << f_peer.log();
    const std::string pcm = sink->bytes();
    int peak = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2)
        peak = std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(
                                  static_cast<uint8_t>(pcm[i]) | (static_cast<uint8_t>(pcm[i + 1]) << 8)))));
    EXPECT_GT(peak, 1000);
    EXPECT_EQ(f_duplex->receiver()->encoding(), 15);
    f_duplex->close();
}

} // namespace
