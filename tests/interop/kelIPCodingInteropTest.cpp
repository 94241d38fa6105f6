// The IP components' audio coding against real peers on 127.0.0.1: ffmpeg
// and GStreamer send G.711, GSM and MPEG audio into our receiver, whose
// PCM must equal the reference decoding of the same payloads (G.191
// expansion, libgsm through gsmdec, mpg123 -s); GStreamer depayloads our
// transmitter's G.711 and GSM, byte for byte what our coders made.

#include "codecs/kelG711.h"
#include "codecs/kelGSM.h"
#include "codecs/kelSpeexCoder.h"
#include "core/kelUtf.h"
#include "platform/kelPlatformThread.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIPCoding.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

uint16_t portBeside(uint16_t taken)
{
    for (uint32_t p = taken + 2u; p < taken + 2000u && p < 65534u; p += 2)
        if (kelTestUdpPortFree(uint16_t(p)) && kelTestUdpPortFree(uint16_t(p + 1))) return uint16_t(p);
    return 0;
}

// Our receiver bound to 127.0.0.1:`port`, taking RTP from the peer's
// `txPort`, with a sink behind it.
struct Receiver
{
    kelOwned<TkelIPReceiver> rx{kelCreate<TkelIPReceiver>()};
    kelOwned<kelTestByteSink> sink{kelCreate<kelTestByteSink>()};

    bool open(uint16_t port, uint16_t txPort, const kelString& sdp)
    {
        if (!rx || !sink || !rx->addConsumer(sink.get())) return false;
        rx->setIsFormatProvider(true);
        rx->setURI(kelTestURI(txPort));
        rx->setBind2ip(u"127.0.0.1");
        rx->setBind2port(utf8ToUtf16(std::to_string(port)));
        if (!sdp.empty()) rx->setSDP(sdp);
        return rx->open() && (sink->active() || sink->open());
    }
    ~Receiver()
    {
        if (rx && sink) {
            rx->close();
            rx->removeConsumer(sink.get());
        }
    }
};

// Waits for the peer, then for our sink to hold as much as `ref` (less up
// to `shortfall` bytes at its end: what a peer may still have held back when
// it ended), and compares.
void expectPCM(kelTestProcess& peer, Receiver& r, const std::string& ref, size_t atLeast,
               size_t shortfall = 0)
{
    ASSERT_TRUE(peer.waitExit(60000)) << peer.log();
    ASSERT_EQ(peer.exitCode(), 0) << peer.log();
    ASSERT_GE(ref.size(), atLeast) << peer.log();
    EXPECT_TRUE(kelTestWaitUntil([&] { return r.sink->size() + shortfall >= ref.size(); }, 10000));
    // Whatever more arrives comes at once.
    (void)kelTestWaitUntil([&] { return r.sink->size() >= ref.size(); }, 300);
    const std::string got = r.sink->bytes();
    EXPECT_LE(got.size(), ref.size());
    EXPECT_GE(got.size() + shortfall, ref.size());
    EXPECT_TRUE(got == ref.substr(0, got.size())) << "our PCM differs from the reference decoding";
    EXPECT_EQ(r.rx->droppedPayloads(), 0u);
    kelWaveFormat f;
    ASSERT_TRUE(r.sink->format(f));
    EXPECT_EQ(f.formatTag, kelWaveFormatTagPCM);
    EXPECT_EQ(f.formatOriginal.pcmBitsPerSample, 16u);
}

bool sendFrom(uint16_t from, uint16_t to, const std::vector<uint8_t>& data)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    const sockaddr_in src = kelTestLoopback(from);
    const sockaddr_in dst = kelTestLoopback(to);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) == 0 &&
                    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&dst),
                             sizeof dst) == ssize_t(data.size());
    ::close(fd);
    return ok;
}

} // namespace

TEST(kelIPCodingInterop, FfmpegG711ExpandsAsG191)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/deps/ipcoding.txt)";
    for (const bool mu : {true, false}) {
        SCOPED_TRACE(mu ? "PCMU" : "PCMA");
        kelTempDir dir;
        const uint16_t port = kelTestFreeRTPPort();
        const uint16_t txPort = portBeside(port);
        ASSERT_NE(txPort, 0);
        Receiver r;
        ASSERT_TRUE(r.open(port, txPort, {}));
        const std::string codec = mu ? "pcm_mulaw" : "pcm_alaw";
        const std::string ref = dir.path() + "/sent.law";
        kelTestProcess ff;
        ASSERT_TRUE(
            ff.start(words("ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
                           "aevalsrc=0.7*sin(2*PI*440*t)+0.2*sin(2*PI*2500*t):s=8000:d=1.5 -map 0:a -c:a " +
                           codec + " -f rtp rtp://127.0.0.1:" + std::to_string(port) +
                           "?localrtpport=" + std::to_string(txPort) + " -map 0:a -c:a " + codec + " -f " +
                           (mu ? "mulaw " : "alaw ") + ref),
                     dir.path() + "/ffmpeg.log"));
        ASSERT_TRUE(ff.waitExit(60000)) << ff.log();
        const std::string law = kelTestProcess::readFile(ref);
        std::string expanded(law.size() * 2, '\0');
        auto* out = reinterpret_cast<int16_t*>(expanded.data());
        const auto* in = reinterpret_cast<const uint8_t*>(law.data());
        if (mu)
            ulawExpand(law.size(), in, out);
        else
            alawExpand(law.size(), in, out);
        expectPCM(ff, r, expanded, 20000);
        EXPECT_EQ(r.rx->encoding(), mu ? kelRTPEnc_PCMU : kelRTPEnc_PCMA);
    }
}

TEST(kelIPCodingInterop, GStreamerGsmDecodesSampleForSample)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/deps/ipcoding.txt)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = portBeside(port);
    ASSERT_NE(txPort, 0);
    Receiver r;
    ASSERT_TRUE(r.open(port, txPort, {}));
    // The same frames go to the payloader and to libgsm's decoder.
    const std::string ref = dir.path() + "/decoded.raw";
    kelTestProcess gst;
    ASSERT_TRUE(
        gst.start(words("gst-launch-1.0 -q audiotestsrc num-buffers=75 samplesperbuffer=160 is-live=true "
                        "wave=sine freq=700 ! audio/x-raw,format=S16LE,rate=8000,channels=1 ! gsmenc ! "
                        "tee name=t ! queue ! rtpgsmpay ! udpsink host=127.0.0.1 bind-port=" +
                        std::to_string(txPort) + " port=" + std::to_string(port) +
                        " t. ! queue ! gsmdec ! audio/x-raw,format=S16LE ! filesink location=" + ref),
                  dir.path() + "/gst.log"));
    ASSERT_TRUE(gst.waitExit(60000)) << gst.log();
    expectPCM(gst, r, kelTestProcess::readFile(ref), 20000);
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_GSM);
}

TEST(kelIPCodingInterop, FfmpegMp2DecodesAsMpg123)
{
    if (!kelTestProcess::available("ffmpeg") || !kelTestProcess::available("mpg123"))
        GTEST_SKIP() << "ffmpeg or mpg123 not installed (scripts/deps/ipcoding.txt)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = portBeside(port);
    ASSERT_NE(txPort, 0);
    Receiver r;
    ASSERT_TRUE(r.open(port, txPort, {}));
    const std::string mp2 = dir.path() + "/sent.mp2";
    kelTestProcess ff;
    ASSERT_TRUE(
        ff.start(words("ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
                       "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=44100:d=1.5 -map 0:a -c:a mp2 "
                       "-b:a 128k -f rtp rtp://127.0.0.1:" +
                       std::to_string(port) + "?localrtpport=" + std::to_string(txPort) +
                       " -map 0:a -c:a mp2 -b:a 128k -f mp2 " + mp2),
                 dir.path() + "/ffmpeg.log"));
    ASSERT_TRUE(ff.waitExit(60000)) << ff.log();
    const std::string ref = dir.path() + "/mpg123.raw";
    ASSERT_EQ(kelTestProcess::runToEnd({"/bin/sh", "-c", "mpg123 -q -s " + mp2 + " > " + ref}, 30000), 0);
    // ffmpeg's RTP muxer gathers frames into packets and may end without
    // sending the last one it gathered: one frame, 1152 stereo samples.
    expectPCM(ff, r, kelTestProcess::readFile(ref), 100000, 1152 * 4);
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_MPA);
    EXPECT_EQ(r.rx->samplingRate(), 44100);
    EXPECT_EQ(r.rx->numChannels(), 2);
}

TEST(kelIPCodingInterop, FfmpegSpeexDecodesAsLibspeexOnTheSameFrames)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/deps/ipcoding.txt)";
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = portBeside(port);
    ASSERT_NE(txPort, 0);
    const auto args = [&](const std::string& seconds, bool realTime, const std::string& sdp) {
        return words(std::string("ffmpeg -nostdin -hide_banner -loglevel error") + (realTime ? " -re" : "") +
                     " -f lavfi -i aevalsrc=0.6*sin(2*PI*440*t)+0.1*sin(2*PI*3000*t):s=16000:d=" + seconds +
                     " -c:a libspeex -f rtp rtp://127.0.0.1:" + std::to_string(port) +
                     "?localrtpport=" + std::to_string(txPort) + " -sdp_file " + sdp);
    };
    kelTestProcess probe;
    const std::string sdpPath = dir.path() + "/probe.sdp";
    ASSERT_TRUE(probe.start(args("0.1", false, sdpPath), dir.path() + "/probe.log"));
    ASSERT_TRUE(probe.waitExit(30000)) << probe.log();
    const std::string sdp = kelTestProcess::readFile(sdpPath);
    if (sdp.find("speex/16000") == std::string::npos)
        GTEST_SKIP() << "ffmpeg sends no Speex over RTP: " << sdp;

    Receiver r;
    std::mutex guard;
    std::vector<std::string> payloads;
    r.rx->setOnRAWDataWrite([&](kelmtlInOutPipe*, const void* data, uint32_t len) {
        std::lock_guard lock(guard);
        payloads.emplace_back(static_cast<const char*>(data), len);
    });
    ASSERT_TRUE(r.open(port, txPort, utf8ToUtf16(sdp)));
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_speex);
    kelTestProcess ff;
    ASSERT_TRUE(ff.start(args("1.5", true, dir.path() + "/run.sdp"), dir.path() + "/ffmpeg.log"));
    ASSERT_TRUE(ff.waitExit(60000)) << ff.log();
    ASSERT_TRUE(kelTestWaitUntil([&] { return r.sink->size() >= 40000; }, 10000));
    r.rx->close();
    std::string reference;
    kelSpeexDecoder dec(&lib, kelSpeexModeWB);
    dec.setOnDataAvailable(
        [&](const int16_t* s, size_t n) { reference.append(reinterpret_cast<const char*>(s), n); });
    ASSERT_TRUE(dec.open());
    {
        std::lock_guard lock(guard);
        for (const std::string& p : payloads)
            dec.decode(p.data(), intptr_t(p.size()));
    }
    EXPECT_GT(reference.size(), 40000u);
    EXPECT_TRUE(r.sink->bytes() == reference) << r.sink->size() << " vs " << reference.size();
}

TEST(kelIPCodingInterop, GStreamerDepayloadsOurG711AndGsmAsOurCodersMadeThem)
{
    if (!kelTestProcess::available("gst-launch-1.0"))
        GTEST_SKIP() << "gst-launch-1.0 not installed (scripts/deps/ipcoding.txt)";
    struct Row
    {
        const char* name;
        int pt;
        const char* caps;
        const char* depay;
    };
    const Row rows[] = {
        {"PCMU", 0, "encoding-name=PCMU,payload=0", "rtppcmudepay"},
        {"GSM", 3, "encoding-name=GSM,payload=3", "rtpgsmdepay"},
    };
    const std::vector<uint8_t> pcm = kelTestSweepPCM(8000, 211);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kelTempDir dir;
        const uint16_t txPort = kelTestFreeRTPPort();
        const uint16_t gstPort = portBeside(txPort);
        ASSERT_NE(gstPort, 0);
        kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
        ASSERT_TRUE(tx);
        tx->setURI(kelTestURI(txPort));
        tx->setSDP(kelTestAudioSDP(row.pt));
        ASSERT_TRUE(tx->open());
        ASSERT_TRUE(sendFrom(gstPort, txPort, kelTestRTPPacket(13, 1, {0})));
        ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; }, 10000));
        const std::string out = dir.path() + "/payload.bin";
        kelTestProcess gst;
        ASSERT_TRUE(gst.start({"gst-launch-1.0", "-q", "-e", "udpsrc", "address=127.0.0.1",
                               "port=" + std::to_string(gstPort),
                               std::string("caps=application/x-rtp,media=audio,clock-rate=8000,") + row.caps,
                               "!", row.depay, "!", "filesink", "buffer-mode=2", "location=" + out},
                              dir.path() + "/gst.log"));
        ASSERT_TRUE(kelTestWaitUntil([&] { return !kelTestUdpPortFree(gstPort) || gst.exited(); }, 20000));
        // What our coders make of the same PCM, 20 ms a write.
        std::string expected;
        if (row.pt == 0) {
            std::vector<int16_t> s(pcm.size() / 2);
            std::memcpy(s.data(), pcm.data(), pcm.size());
            expected.resize(s.size());
            ulawCompress(s.size(), s.data(), reinterpret_cast<uint8_t*>(expected.data()));
        } else {
            struct Enc : kelGSMEncoder
            {
                using kelGSMEncoder::kelGSMEncoder;
                std::string out;
                void dataAvailable(kelGSMcoder*, const uint8_t* d, intptr_t n) override
                {
                    out.append(reinterpret_cast<const char*>(d), size_t(n));
                }
            } enc(false);
            enc.write(pcm.data(), intptr_t(pcm.size()));
            expected = enc.out;
        }
        for (size_t at = 0; at < pcm.size(); at += 320) {
            ASSERT_EQ(tx->write(pcm.data() + at, 320), 320u);
            kelSleepMs(5);
        }
        EXPECT_TRUE(
            kelTestWaitUntil([&] { return kelTestProcess::readFile(out).size() >= expected.size(); }, 10000));
        gst.stop();
        tx->close();
        EXPECT_TRUE(kelTestProcess::readFile(out) == expected) << gst.log();
    }
}
