// Redundant real-time text made by GStreamer's RFC 2198 encoder: plain text
// packets (with U+FEFF keep-alives) go into rtpredenc, which wraps each with
// the one before it; a relay in the test drops some of the wrapped packets
// and puts a STUN check between the others on their way to our receiver.
// The receiver must show the whole text, each character once.
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kText = 98;
constexpr uint8_t kRed = 100;
constexpr uint32_t kSSRC = 0x5EED0140;

struct kelShownText
{
    std::mutex guard;
    kelString all;

    kelString get()
    {
        std::lock_guard lock(guard);
        return all;
    }
};

} // namespace

TEST(kelIPReceiverRedTextInterop, TextWrappedByGStreamerIsShownOnceWithDroppedPacketsRecovered)
{
    if (!kelTestProcess::available("gst-launch-1.0") ||
        kelTestProcess::runToEnd({"gst-inspect-1.0", "rtpredenc"}, 20000) != 0)
        GTEST_SKIP() << "GStreamer's rtpredenc is not installed (scripts/install-deps installs "
                        "gstreamer1.0-plugins-good)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelTestPeer source; // feeds GStreamer
    // Between GStreamer and the receiver: the receiver's transmitter, which
    // also gets its hole packets (skipped below).
    kelTestPeer relay;
    ASSERT_TRUE(source.ok() && relay.ok());
    const uint16_t gstPort = kelTestFreeRTPPort();
    ASSERT_NE(gstPort, 0);

    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(rx);
    kelShownText shown;
    rx->setOnText([&shown](kelmtlInOutPipe*, const char16_t* text) {
        std::lock_guard lock(shown.guard);
        shown.all += text;
    });
    rx->setSDP(u"v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
               u"m=text 5000 RTP/AVP 100 98\r\na=rtpmap:100 red/1000\r\na=rtpmap:98 t140/1000\r\n"
               u"a=fmtp:100 98/98\r\n");
    rx->setURI(kelTestURI(relay.port()));
    ASSERT_TRUE(rx->open());
    const auto rxPort = static_cast<uint16_t>(portFromString(rx->portLocal()));
    ASSERT_NE(rxPort, 0);

    kelTestProcess gst;
    ASSERT_TRUE(
        gst.start({"gst-launch-1.0", "-q", "udpsrc", "address=127.0.0.1", "port=" + std::to_string(gstPort),
                   "caps=application/x-rtp,media=text,clock-rate=1000,encoding-name=T140,payload=98", "!",
                   "rtpredenc", "pt=100", "distance=1", "allow-no-red-blocks=true", "!", "udpsink",
                   "host=127.0.0.1", "port=" + std::to_string(relay.port())},
                  dir.path() + "/gst.log"));

    const auto plain = [](uint16_t seq, const std::string& text) {
        return kelTestRTPPacket(kText, seq, std::vector<uint8_t>(text.begin(), text.end()), 300u * seq,
                                kSSRC);
    };
    // The first packet, a keep-alive, again until GStreamer listens.
    std::vector<uint8_t> wrapped;
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            if (gst.exited()) return true;
            (void)source.sendTo(gstPort, plain(1, "\xEF\xBB\xBF"));
            wrapped = relay.receive(200);
            return wrapped.size() >= 12 && (wrapped[1] & 0x7F) == kRed;
        },
        20000))
        << gst.log();
    ASSERT_FALSE(gst.exited()) << gst.log();
    ASSERT_TRUE(relay.sendTo(rxPort, wrapped));

    const std::vector<std::string> texts = {"\xEF\xBB\xBF"
                                            "Hel",
                                            "lo",
                                            ", w",
                                            "\xEF\xBB\xBF",
                                            "or",
                                            "ld",
                                            "\xC3\xA9!"};
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto seq = static_cast<uint16_t>(i + 2);
        ASSERT_TRUE(source.sendTo(gstPort, plain(seq, texts[i])));
        // Repeats of the first packet may still be on their way.
        do {
            wrapped = relay.receive(10000);
            ASSERT_GE(wrapped.size(), 12u) << gst.log();
        } while (((wrapped[2] << 8) | wrapped[3]) != seq || (wrapped[1] & 0x7F) != kRed);
        // On the wire: the red type, one generation (4-byte header with
        // the F bit, of the text type), then the primary's 1-byte header.
        ASSERT_GE(wrapped.size(), 17u);
        EXPECT_EQ(wrapped[1] & 0x7F, kRed);
        EXPECT_EQ(wrapped[12], 0x80 | kText);
        EXPECT_EQ(wrapped[16], kText);
        // Every third packet is lost on the way; its text comes with the
        // next one.
        if (seq % 3 != 0) {
            ASSERT_TRUE(relay.sendTo(rxPort, kelTestSTUNBindingRequest));
            ASSERT_TRUE(relay.sendTo(rxPort, wrapped));
        }
    }
    // The last packet was relayed (8 % 3 != 0); its text is the end.
    const kelString want = u"Hello, world\u00E9!";
    EXPECT_TRUE(kelTestWaitUntil([&] { return shown.get().size() >= want.size(); }, 10000)) << gst.log();
    EXPECT_EQ(shown.get(), want);
    gst.stop();
    rx->close();
}
