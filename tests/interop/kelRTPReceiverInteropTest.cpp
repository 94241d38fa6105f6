// Our receiver fed by real RTP senders on 127.0.0.1: GStreamer's rtpL16pay
// and ffmpeg's RTP muxer each send an L16 tone and write the same samples to
// a file beside; the payloads we deliver must be those bytes exactly, also
// when the sender adds header extensions.

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using Bytes = std::string;

class CollectingReceiver : public kelRTPReceiver
{
public:
    using kelRTPReceiver::kelRTPReceiver;
    void onRTPData(const sockaddr_in&, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t) override
    {
        std::lock_guard<std::mutex> g(guard);
        const rtp_hdr h = rtp_hdr::read(header);
        payloadTypes.push_back(h.payloadType());
        if (h.extension()) ++withExtension;
        bytes.append(reinterpret_cast<const char*>(payload), payloadSize);
    }
    size_t size()
    {
        std::lock_guard<std::mutex> g(guard);
        return bytes.size();
    }
    std::mutex guard;
    Bytes bytes;
    std::vector<int> payloadTypes;
    size_t withExtension = 0;
};

kelOwned<CollectingReceiver> startReceiver()
{
    kelOwned<CollectingReceiver> r(kelCreate<CollectingReceiver>(
        u"0", kelString(), false, kelString(u"127.0.0.1"), nullptr, true, false, 1));
    if (r && !r->start(10000)) r.reset();
    return r;
}

std::string portText(const kelRTPReceiver& r)
{
    return std::to_string(parseInteger(r.portLocal(), 0));
}

// The reference file once the peer has ended, and our bytes once as many
// have arrived (or the wait ran out).
void expectSameBytes(kelTestProcess& peer, CollectingReceiver& r, const std::string& refPath, int payloadType)
{
    ASSERT_TRUE(peer.waitExit(30000)) << "peer did not finish: " << peer.log();
    ASSERT_EQ(peer.exitCode(), 0) << peer.log();
    const std::string ref = kelTestProcess::readFile(refPath);
    ASSERT_GT(ref.size(), 40000u) << peer.log();
    EXPECT_TRUE(kelTestWaitUntil([&] { return r.size() >= ref.size(); }, 5000));
    std::lock_guard<std::mutex> g(r.guard);
    EXPECT_EQ(r.bytes.size(), ref.size());
    EXPECT_TRUE(r.bytes == ref) << "payload bytes differ from what the peer sent";
    for (int pt : r.payloadTypes)
        EXPECT_EQ(pt, payloadType);
}

// Sends one second of a tone from GStreamer to the receiver, paced in real
// time; the tee writes exactly the samples that the payloader gets, which
// sends them with its default dynamic type 96. `rtpCaps`, when given, is put
// after the payloader; with `expectExtensions` some packets must carry a
// header extension.
void gstL16IntoReceiver(const std::string& rtpCaps, bool expectExtensions)
{
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    auto r = startReceiver();
    ASSERT_TRUE(r);
    const std::string ref = dir.path() + "/sent.raw";
    std::vector<std::string> args = {"gst-launch-1.0",
                                     "-q",
                                     "audiotestsrc",
                                     "num-buffers=50",
                                     "samplesperbuffer=882",
                                     "is-live=true",
                                     "freq=523",
                                     "!",
                                     "audio/x-raw,format=S16BE,rate=44100,channels=1",
                                     "!",
                                     "tee",
                                     "name=t",
                                     "!",
                                     "queue",
                                     "!",
                                     "rtpL16pay",
                                     "!"};
    if (!rtpCaps.empty()) args.insert(args.end(), {rtpCaps, "!"});
    args.insert(args.end(), {"udpsink", "host=127.0.0.1", "port=" + portText(*r), "t.", "!", "queue", "!",
                             "filesink", "location=" + ref});
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(args, dir.path() + "/gst.log"));
    expectSameBytes(gst, *r, ref, 96);
    std::lock_guard<std::mutex> g(r->guard);
    if (expectExtensions) {
        EXPECT_GT(r->withExtension, 0u) << "the peer sent no header extension";
    }
}

TEST(kelRTPReceiverInteropTest, GStreamerL16StreamArrivesByteIdentical)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs gstreamer1.0-tools)";
    gstL16IntoReceiver({}, false);
}

TEST(kelRTPReceiverInteropTest, GStreamerL16StreamWithHeaderExtensionsArrivesByteIdentical)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs gstreamer1.0-tools)";
    // The 64-bit NTP time header extension, which the payloader adds to
    // packets now and then: those bytes are not payload.
    gstL16IntoReceiver("application/x-rtp,extmap-1=(string)\"urn:ietf:params:rtp-hdrext:ntp-64\"", true);
}

TEST(kelRTPReceiverInteropTest, FfmpegL16StreamArrivesByteIdentical)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    auto r = startReceiver();
    ASSERT_TRUE(r);
    const std::string ref = dir.path() + "/sent.raw";
    kelTestProcess ff;
    // The same decoded tone goes to the RTP muxer and to a raw file.
    ASSERT_TRUE(ff.start({"ffmpeg",
                          "-nostdin",
                          "-hide_banner",
                          "-loglevel",
                          "error",
                          "-re",
                          "-f",
                          "lavfi",
                          "-i",
                          "sine=frequency=440:sample_rate=44100:duration=1",
                          "-map",
                          "0:a",
                          "-ac",
                          "1",
                          "-c:a",
                          "pcm_s16be",
                          "-f",
                          "rtp",
                          "rtp://127.0.0.1:" + portText(*r) + "?pkt_size=1200",
                          "-map",
                          "0:a",
                          "-ac",
                          "1",
                          "-c:a",
                          "pcm_s16be",
                          "-f",
                          "s16be",
                          ref},
                         dir.path() + "/ffmpeg.log"));
    // L16 mono at 44100 Hz has the static type 11.
    expectSameBytes(ff, *r, ref, 11);
    // ffmpeg reports as a sender on the next port: our stack knows it.
    EXPECT_TRUE(kelTestWaitUntil([&] { return r->rtcp()->memberCount() >= 2; }, 10000));
}

} // namespace
