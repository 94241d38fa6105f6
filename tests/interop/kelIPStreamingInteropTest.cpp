// The IP streaming components against real peers on 127.0.0.1: ffmpeg and
// GStreamer send L16 into our receiver, which takes its format from the
// session description each of them writes; GStreamer depayloads our
// transmitter's L16; tshark captures our real-time text packets live on the
// loopback interface. Every comparison is byte for byte.

#include "core/kelByteOrder.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestCapture.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "core/kelClock.h"
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPipes.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

kelString wide(const std::string& s)
{
    return utf8ToUtf16(s);
}

// A command line split at its blanks (none of its arguments has one).
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// 16-bit samples the other way round: the wire and the files of the peers
// are big-endian, our pipe carries host order.
std::string swapped(const std::string& bytes)
{
    std::string out = bytes;
    for (size_t i = 0; i + 1 < out.size(); i += 2)
        std::swap(out[i], out[i + 1]);
    return out;
}

// A free even port with a free successor, other than `taken`'s pair
// (kelTestFreeRTPPort gives the same answer twice within a millisecond).
uint16_t freeRTPPortBeside(uint16_t taken)
{
    for (uint32_t p = taken + 2u; p < taken + 2000u && p < 65534u; p += 2)
        if (kelTestUdpPortFree(static_cast<uint16_t>(p)) && kelTestUdpPortFree(static_cast<uint16_t>(p + 1)))
            return static_cast<uint16_t>(p);
    return 0;
}

// Our receiver with a sink, bound to 127.0.0.1:`port`, with its format
// from `sdp`. The URI names the port the peer sends from (`txPort`, which
// the peer binds only to send): the receiver takes RTP from there alone,
// and its hole packets go nowhere, as these peers send without being asked.
struct receiverUnderTest
{
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    bool open(uint16_t port, const kelString& sdp, uint16_t txPort)
    {
        if (!rx || !sink || txPort == 0 || !rx->addConsumer(sink.get())) return false;
        // Consumers learn the PCM format only from a format provider.
        rx->setIsFormatProvider(true);
        rx->setURI(kelTestURI(txPort));
        rx->setBind2ip(u"127.0.0.1");
        rx->setBind2port(wide(std::to_string(port)));
        rx->setSDP(sdp);
        if (!rx->open()) return false;
        return sink->active() || sink->open();
    }
    ~receiverUnderTest()
    {
        if (rx && sink) {
            rx->close();
            rx->removeConsumer(sink.get());
        }
    }
};

// The peer has ended and written `refPath`; our sink must hold exactly its
// samples, in host order.
void expectSameSamples(kelTestProcess& peer, receiverUnderTest& r, const std::string& refPath)
{
    ASSERT_TRUE(peer.waitExit(30000)) << "peer did not finish: " << peer.log();
    ASSERT_EQ(peer.exitCode(), 0) << peer.log();
    const std::string ref = kelTestProcess::readFile(refPath);
    ASSERT_GT(ref.size(), 40000u) << peer.log();
    EXPECT_TRUE(kelTestWaitUntil([&] { return r.sink->size() >= ref.size(); }, 5000));
    const std::string got = r.sink->bytes();
    EXPECT_EQ(got.size(), ref.size());
    EXPECT_TRUE(got == swapped(ref)) << "received samples differ from what the peer sent";
}

void expectFormat(receiverUnderTest& r, intptr_t rate, intptr_t channels)
{
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_L16);
    EXPECT_EQ(r.rx->samplingRate(), rate);
    EXPECT_EQ(r.rx->numChannels(), channels);
    kelWaveFormat f;
    ASSERT_TRUE(r.sink->format(f)) << "the sink was never told the format";
    EXPECT_EQ(f.formatTag, kelWaveFormatTagPCM);
    EXPECT_EQ(f.formatOriginal.pcmSamplesPerSecond, static_cast<uintptr_t>(rate));
    EXPECT_EQ(f.formatOriginal.pcmNumChannels, static_cast<uintptr_t>(channels));
    EXPECT_EQ(f.formatOriginal.pcmBitsPerSample, 16u);
}

TEST(kelIPStreamingInteropTest, FfmpegL16WithItsSdpArrivesByteExact)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = freeRTPPortBeside(port);
    ASSERT_NE(port, 0);
    // Two different tones, one a channel, at a rate that takes a dynamic
    // payload type: only the description tells it apart from our default.
    const auto args = [&](const std::string& seconds, bool realTime, const std::string& sdp,
                          const std::string& ref) {
        std::string line = "ffmpeg -nostdin -hide_banner -loglevel error";
        if (realTime) line += " -re";
        line += " -f lavfi -i aevalsrc=0.6*sin(2*PI*440*t)|0.3*sin(2*PI*1000*t):s=22050:d=" + seconds +
                " -map 0:a -c:a pcm_s16be -f rtp rtp://127.0.0.1:" + std::to_string(port) +
                "?pkt_size=1200&localrtpport=" + std::to_string(txPort) + " -sdp_file " + sdp;
        // The same samples, as they went into the RTP muxer.
        if (!ref.empty()) line += " -map 0:a -c:a pcm_s16be -f s16be " + ref;
        return words(line);
    };
    // The description comes from a short run of the same stream before the
    // receiver listens, so it is applied before the first packet arrives.
    kelTestProcess probe;
    const std::string sdpPath = dir.path() + "/ffmpeg.sdp";
    ASSERT_TRUE(probe.start(args("0.05", false, sdpPath, ""), dir.path() + "/probe.log"));
    ASSERT_TRUE(probe.waitExit(30000)) << probe.log();
    ASSERT_EQ(probe.exitCode(), 0) << probe.log();
    const std::string sdp = kelTestProcess::readFile(sdpPath);
    ASSERT_NE(sdp.find("a=rtpmap:97 L16/22050/2"), std::string::npos) << sdp;

    receiverUnderTest r;
    ASSERT_TRUE(r.open(port, wide(sdp), txPort))
        << std::string(r.rx->descriptionError().begin(), r.rx->descriptionError().end());
    EXPECT_EQ(r.rx->mapping()->r_dynType, 97);
    expectFormat(r, 22050, 2);

    kelTestProcess ff;
    const std::string ref = dir.path() + "/sent.raw";
    ASSERT_TRUE(ff.start(args("2", true, dir.path() + "/stream.sdp", ref), dir.path() + "/ffmpeg.log"));
    expectSameSamples(ff, r, ref);
    expectFormat(r, 22050, 2);
}

TEST(kelIPStreamingInteropTest, GStreamerL16WithItsSdpArrivesByteExact)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs gstreamer1.0-tools)";
    if (std::system("/usr/bin/python3 -c \"import gi; gi.require_version('Gst', '1.0')\" >/dev/null 2>&1") !=
        0)
        GTEST_SKIP()
            << "python3-gi with GStreamer introspection not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = freeRTPPortBeside(port);
    ASSERT_NE(port, 0);
    kelTestProcess writer;
    const std::string sdpPath = dir.path() + "/gst.sdp";
    ASSERT_TRUE(
        writer.start({"/usr/bin/python3", std::string(KEL_SOURCE_DIR) + "/tests/interop/kelIPGstL16Sdp.py",
                      sdpPath, "16000", "1", "96", std::to_string(port)},
                     dir.path() + "/sdp.log"));
    ASSERT_TRUE(writer.waitExit(30000)) << writer.log();
    ASSERT_EQ(writer.exitCode(), 0) << writer.log();
    const std::string sdp = kelTestProcess::readFile(sdpPath);
    ASSERT_NE(sdp.find("a=rtpmap:96 L16/16000"), std::string::npos) << sdp;

    receiverUnderTest r;
    ASSERT_TRUE(r.open(port, wide(sdp), txPort));
    EXPECT_EQ(r.rx->mapping()->r_dynType, 96);
    expectFormat(r, 16000, 1);

    // Two seconds, paced in real time; the tee writes exactly the samples
    // the payloader gets.
    kelTestProcess gst;
    const std::string ref = dir.path() + "/sent.raw";
    ASSERT_TRUE(
        gst.start(words("gst-launch-1.0 -q audiotestsrc num-buffers=100 samplesperbuffer=320 is-live=true "
                        "wave=pink-noise ! audio/x-raw,format=S16BE,rate=16000,channels=1 ! tee name=t ! "
                        "queue ! rtpL16pay pt=96 ! udpsink host=127.0.0.1 bind-port=" +
                        std::to_string(txPort) + " port=" + std::to_string(port) +
                        " t. ! queue ! filesink location=" + ref),
                  dir.path() + "/gst.log"));
    expectSameSamples(gst, r, ref);
    expectFormat(r, 16000, 1);
}

// True once something (the peer) holds `port` on 127.0.0.1.
bool portTaken(uint16_t port)
{
    return !kelTestUdpPortFree(port);
}

TEST(kelIPStreamingInteropTest, GStreamerDepayloadsOurL16ByteExact)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/install-deps installs gstreamer1.0-tools)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t txPort = kelTestFreeRTPPort();
    ASSERT_NE(txPort, 0);
    const uint16_t gstPort = freeRTPPortBeside(txPort);
    ASSERT_NE(gstPort, 0);

    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelOwned<kelTestPump> pump(kelCreate<kelTestPump>());
    ASSERT_TRUE(tx && pump);
    tx->setURI(kelTestURI(txPort));
    tx->setSDP(u"v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 L16/16000/2\r\n");
    ASSERT_TRUE(tx->open()) << std::string(tx->descriptionError().begin(), tx->descriptionError().end());
    ASSERT_TRUE(pump->open());
    ASSERT_TRUE(pump->addConsumer(tx.get()));
    // GStreamer punches no holes: a comfort-noise packet from its port-to-be
    // makes that port a destination, as a receiver's would.
    const std::vector<uint8_t> ping = {0x80, 13, 0, 1, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0};
    ASSERT_TRUE(kelTestSendFrom(gstPort, txPort, ping));
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 10000));

    const std::string out = dir.path() + "/received.raw";
    kelTestProcess gst;
    ASSERT_TRUE(gst.start({"gst-launch-1.0", "-q", "-e", "udpsrc", "address=127.0.0.1",
                           "port=" + std::to_string(gstPort),
                           "caps=application/x-rtp,media=audio,clock-rate=16000,encoding-name=L16,channels=2,"
                           "payload=96",
                           "!", "rtpL16depay", "!", "filesink", "buffer-mode=2", "location=" + out},
                          dir.path() + "/gst.log"));
    ASSERT_TRUE(kelTestWaitUntil([&] { return portTaken(gstPort) || gst.exited(); }, 20000)) << gst.log();
    ASSERT_FALSE(gst.exited()) << gst.log();

    // Two seconds of a pseudo-random pattern in host order, 20 ms a block
    // (1280 bytes: one datagram within GStreamer's receive size), paced so
    // the peer's socket buffer never overflows.
    std::string sent;
    uint32_t state = 0x9E3779B9u;
    for (int block = 0; block < 100; ++block) {
        std::string chunk(1280, '\0');
        for (char& b : chunk) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<char>(state >> 24);
        }
        ASSERT_TRUE(pump->push(chunk.data(), static_cast<uint32_t>(chunk.size())));
        sent += chunk;
        kelSleepMs(5);
    }
    EXPECT_TRUE(kelTestWaitUntil([&] { return kelTestProcess::readFile(out).size() >= sent.size(); }, 10000));
    gst.stop();
    pump->removeConsumer(tx.get());
    tx->close();
    const std::string got = kelTestProcess::readFile(out);
    EXPECT_EQ(got.size(), sent.size()) << gst.log();
    EXPECT_TRUE(got == swapped(sent)) << "depayloaded samples differ from what we sent";
}

uint32_t be32(const uint8_t* p)
{
    return kelLoadBE32(p);
}

TEST(kelIPStreamingInteropTest, TsharkSeesOurTextPacketsOnTheLoopback)
{
    if (!kelTestProcess::available("tshark"))
        GTEST_SKIP() << "tshark not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    const std::vector<kelString> texts = {u"a", u"\b", u"\x7f\n", u"\u0416", u"\U0001F600"};

    // Only the text packets our transmitter sends: from its RTP port, payload
    // type 113 in the second byte of the RTP header.
    const std::string pcap = dir.path() + "/text.pcap";
    kelTestProcess capture;
    const std::string why =
        startCapture(capture, "udp src port " + std::to_string(port) + " and (udp[9] & 0x7f) = 113",
                     texts.size(), pcap, dir.path() + "/tshark.log");
    if (!why.empty()) GTEST_SKIP() << why;

    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(tx && rx);
    std::mutex guard;
    std::vector<kelString> heard;
    rx->setOnText([&](kelmtlInOutPipe*, const char16_t* text) {
        std::lock_guard lock(guard);
        heard.emplace_back(text);
    });
    tx->setURI(kelTestURI(port));
    rx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    ASSERT_TRUE(rx->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 30000));
    for (const kelString& t : texts)
        ASSERT_EQ(tx->sendText(t), kelS_OK);
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            std::lock_guard lock(guard);
            return heard.size() >= texts.size();
        },
        10000));
    {
        std::lock_guard lock(guard);
        EXPECT_EQ(heard, texts);
    }
    EXPECT_TRUE(capture.waitExit(20000)) << "tshark did not see every text packet: " << capture.log();
    capture.stop();
    rx->close();
    tx->close();

    const std::vector<std::vector<std::string>> rows =
        tsharkFields("tshark -n -r '" + pcap + "' -d udp.port==" + std::to_string(port) +
                     ",rtp -T fields -e rtp.version -e rtp.p_type -e rtp.marker -e rtp.seq -e rtp.timestamp "
                     "-e udp.payload 2>/dev/null");
    ASSERT_EQ(rows.size(), texts.size());
    std::vector<std::vector<uint8_t>> packets;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 6u);
        // As tshark dissects it...
        EXPECT_EQ(row[0], "2");
        EXPECT_EQ(row[1], "113");
        EXPECT_EQ(row[2], "0");
        packets.push_back(fromHex(row[5]));
        const std::vector<uint8_t>& p = packets.back();
        ASSERT_GE(p.size(), 12u);
        // ...and as the bytes say.
        EXPECT_EQ(p[0], 0x80) << "version 2, no padding, extension or CSRC";
        EXPECT_EQ(p[1], 113) << "marker clear, payload type 113";
        EXPECT_EQ(std::to_string(p[2] << 8 | p[3]), row[3]);
        EXPECT_EQ(std::to_string(be32(p.data() + 4)), row[4]);
    }
    for (size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE("text " + std::to_string(i));
        const std::string utf8 = utf16ToUtf8(texts[i]);
        EXPECT_EQ(std::string(packets[i].begin() + 12, packets[i].end()), utf8);
        if (i == 0) continue;
        const std::vector<uint8_t>& prev = packets[i - 1];
        const std::vector<uint8_t>& cur = packets[i];
        EXPECT_EQ(static_cast<uint16_t>((cur[2] << 8 | cur[3]) - (prev[2] << 8 | prev[3])), 1);
        // Each packet's timestamp has moved on by its own text's UTF-16 code
        // units: by two for the pair 127 + 10 and for the surrogate pair.
        EXPECT_EQ(be32(cur.data() + 4) - be32(prev.data() + 4), texts[i].size());
        EXPECT_EQ(be32(cur.data() + 8), be32(prev.data() + 8)) << "one SSRC";
    }
}

TEST(kelIPStreamingInteropTest, TsharkSeesTheReceiversHolesRepeatedAtReportTimes)
{
    if (!kelTestProcess::available("tshark"))
        GTEST_SKIP() << "tshark not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // No transmitter holds the port: the receiver must keep punching.
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    const std::string rtcpPort = std::to_string(port + 1);
    const std::string pcap = dir.path() + "/holes.pcap";
    kelTestProcess capture;
    // Two rounds of two: a compound of an empty RR, the SDES and the APP
    // "HELO" to the RTCP port, comfort noise to the RTP port.
    const std::string why =
        startCapture(capture, "udp dst port " + std::to_string(port) + " or udp dst port " + rtcpPort, 4,
                     pcap, dir.path() + "/tshark.log");
    if (!why.empty()) GTEST_SKIP() << why;

    kelManualClock clock;
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    ASSERT_TRUE(rx);
    rx->setClock(clock);
    rx->setURI(kelTestURI(port));
    ASSERT_TRUE(rx->open());
    // The first round goes at open, the next at a report time of the
    // receiver's clock.
    EXPECT_TRUE(kelTestAdvanceUntil(
        clock, [&] { return capture.exited(); }, 60000, 5000))
        << "the receiver did not repeat its hole packets: " << capture.log();
    capture.stop();
    rx->close();

    const std::string read = "tshark -n -r '" + pcap + "' -d udp.port==" + std::to_string(port) +
                             ",rtp -d udp.port==" + rtcpPort + ",rtcp ";
    const auto rows =
        tsharkFields(read + "-T fields -e udp.dstport -e rtp.p_type -e rtcp.pt -e rtcp.app.name "
                            "-e rtcp.app.subtype -e rtcp.sdes.text -e udp.payload 2>/dev/null");
    ASSERT_EQ(rows.size(), 4u);
    std::vector<std::vector<uint8_t>> holes, cn;
    std::vector<std::string> cnames;
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        ASSERT_EQ(row.size(), 7u) << "packet " << i;
        const std::vector<uint8_t> bytes = fromHex(row[6]);
        ASSERT_GE(bytes.size(), 8u);
        if (row[0] == std::to_string(port)) {
            EXPECT_EQ(row[1], "13") << "comfort noise";
            cn.push_back(bytes);
        } else {
            // The report leads, the CNAME goes ahead of the hello.
            EXPECT_EQ(row[2], "201,202,204");
            EXPECT_EQ(row[3], "HELO");
            EXPECT_EQ(row[4], "0") << "subtype";
            cnames.push_back(row[5]);
            holes.push_back(bytes);
        }
    }
    ASSERT_EQ(holes.size(), 2u);
    ASSERT_EQ(cn.size(), 2u);
    EXPECT_FALSE(cnames[0].empty());
    EXPECT_EQ(cnames[0], cnames[1]);
    // One SSRC throughout (the reporter of the compound and the sender of
    // the ping); the second ping follows the first.
    const uint32_t ssrc = be32(cn[0].data() + 8);
    for (const auto& p : holes)
        EXPECT_EQ(be32(p.data() + 4), ssrc);
    EXPECT_EQ(be32(cn[1].data() + 8), ssrc);
    for (const auto& p : cn) {
        ASSERT_EQ(p.size(), 13u) << "a 12-byte header and one byte of noise level";
        EXPECT_EQ(p[0], 0x80);
        EXPECT_EQ(p[1], 13) << "marker clear, payload type 13";
    }
    EXPECT_EQ(static_cast<uint16_t>((cn[1][2] << 8 | cn[1][3]) - (cn[0][2] << 8 | cn[0][3])), 1);
    // And tshark finds nothing to complain about.
    EXPECT_TRUE(tsharkFields(read +
                             "-Y '_ws.malformed || _ws.expert.severity >= 6291456' -T fields -e frame.number "
                             "2>/dev/null")
                    .empty());
}

} // namespace
