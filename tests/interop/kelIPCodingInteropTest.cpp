// The IP components' audio coding with real peers sending on 127.0.0.1:
// ffmpeg and GStreamer send G.711, GSM, MPEG audio (ffmpeg's mp2, LAME's
// MP3 through GStreamer's payloader) and Speex into our receiver, whose PCM
// must equal the reference decoding of the same payloads (G.191 expansion,
// libgsm through gsmdec, mpg123 -s, libspeex on the same frames).

#include "codecs/kelG711.h"
#include "codecs/kelSpeexCoder.h"
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIPCoding.h"
#include "tests/support/kelTestIPCodingPeers.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestOgg.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Waits for the peer, then for our sink to hold as much as `ref` (less up
// to `shortfall` bytes at its end: what a peer may still have held back when
// it ended), and compares.
void expectPCM(kelTestProcess& peer, kelTestPeerReceiver& r, const std::string& ref, size_t atLeast,
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

} // namespace

TEST(kelIPCodingInterop, FfmpegG711ExpandsAsG191)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/deps/ipcoding.txt)";
    for (const bool mu : {true, false}) {
        SCOPED_TRACE(mu ? "PCMU" : "PCMA");
        kelTempDir dir;
        const uint16_t port = kelTestFreeRTPPort();
        const uint16_t txPort = kelTestPortBeside(port);
        ASSERT_NE(txPort, 0);
        kelTestPeerReceiver r;
        ASSERT_TRUE(r.open(port, txPort, {}));
        const std::string codec = mu ? "pcm_mulaw" : "pcm_alaw";
        const std::string ref = dir.path() + "/sent.law";
        kelTestProcess ff;
        ASSERT_TRUE(ff.start(
            kelTestWords("ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
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
    const uint16_t txPort = kelTestPortBeside(port);
    ASSERT_NE(txPort, 0);
    kelTestPeerReceiver r;
    ASSERT_TRUE(r.open(port, txPort, {}));
    // The same frames go to the payloader and to libgsm's decoder.
    const std::string ref = dir.path() + "/decoded.raw";
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(
        kelTestWords("gst-launch-1.0 -q audiotestsrc num-buffers=75 samplesperbuffer=160 is-live=true "
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
    const uint16_t txPort = kelTestPortBeside(port);
    ASSERT_NE(txPort, 0);
    kelTestPeerReceiver r;
    ASSERT_TRUE(r.open(port, txPort, {}));
    const std::string mp2 = dir.path() + "/sent.mp2";
    kelTestProcess ff;
    ASSERT_TRUE(ff.start(
        kelTestWords("ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
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
    const uint16_t txPort = kelTestPortBeside(port);
    ASSERT_NE(txPort, 0);
    const auto args = [&](const std::string& seconds, bool realTime, const std::string& sdp) {
        return kelTestWords(
            std::string("ffmpeg -nostdin -hide_banner -loglevel error") + (realTime ? " -re" : "") +
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

    kelTestPeerReceiver r;
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

TEST(kelIPCodingInterop, GStreamerLameMp3DecodesAsMpg123)
{
    if (!kelTestProcess::available("mpg123") || !kelTestGstHas({"lamemp3enc", "rtpmpapay"}))
        GTEST_SKIP()
            << "mpg123 or GStreamer's lamemp3enc/rtpmpapay not installed (scripts/deps/ipcoding.txt)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = kelTestPortBeside(port);
    ASSERT_NE(txPort, 0);
    kelTestPeerReceiver r;
    ASSERT_TRUE(r.open(port, txPort, {}));
    // The payloader gathers several frames into a packet; the same MP3
    // goes to a file for mpg123.
    const std::string mp3 = dir.file("sent.mp3");
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(
        kelTestWords("gst-launch-1.0 -q audiotestsrc num-buffers=45 samplesperbuffer=1152 is-live=true "
                     "wave=sine freq=523 volume=0.6 ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! "
                     "lamemp3enc target=bitrate bitrate=128 cbr=true ! tee name=t ! queue ! rtpmpapay ! "
                     "udpsink host=127.0.0.1 bind-port=" +
                     std::to_string(txPort) + " port=" + std::to_string(port) +
                     " t. ! queue ! filesink location=" + mp3),
        dir.file("gst.log")));
    ASSERT_TRUE(gst.waitExit(60000)) << gst.log();
    const std::string ref = dir.file("mpg123.raw");
    ASSERT_EQ(kelTestProcess::runToEnd({"/bin/sh", "-c", "mpg123 -q -s " + mp3 + " > " + ref}, 30000), 0);
    expectPCM(gst, r, kelTestProcess::readFile(ref), 150000);
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_MPA);
    EXPECT_EQ(r.rx->samplingRate(), 44100);
    EXPECT_EQ(r.rx->numChannels(), 2);
}

TEST(kelIPCodingInterop, GStreamerSpeexDecodesAsLibspeexOnTheSameFrames)
{
    if (!kelTestGstHas({"speexenc", "rtpspeexpay", "oggmux"}))
        GTEST_SKIP() << "GStreamer's speexenc/rtpspeexpay not installed (scripts/deps/ipcoding.txt)";
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    kelTempDir dir;
    const uint16_t port = kelTestFreeRTPPort();
    const uint16_t txPort = kelTestPortBeside(port);
    ASSERT_NE(txPort, 0);
    kelTestPeerReceiver r;
    ASSERT_TRUE(r.open(port, txPort, kelTestAudioSDP(97, "speex/16000")));
    EXPECT_EQ(r.rx->encoding(), kelRTPEnc_speex);
    // The encoder's frames go to the payloader and, in Ogg, to a file.
    const std::string spx = dir.file("sent.spx");
    kelTestProcess gst;
    ASSERT_TRUE(gst.start(
        kelTestWords("gst-launch-1.0 -q audiotestsrc num-buffers=75 samplesperbuffer=320 is-live=true "
                     "wave=sine freq=440 volume=0.5 ! audio/x-raw,format=S16LE,rate=16000,channels=1 ! "
                     "speexenc ! tee name=t ! queue ! rtpspeexpay pt=97 ! udpsink host=127.0.0.1 bind-port=" +
                     std::to_string(txPort) + " port=" + std::to_string(port) +
                     " t. ! queue ! oggmux ! filesink location=" + spx),
        dir.file("gst.log")));
    ASSERT_TRUE(gst.waitExit(60000)) << gst.log();
    const auto packets = kelTestOggPackets(kelTestProcess::readFile(spx));
    ASSERT_TRUE(packets);
    // The header and the comments come first.
    ASSERT_GE(packets->size(), 2u + 70u);
    ASSERT_EQ(packets->front().compare(0, 8, "Speex   "), 0);
    std::string reference;
    kelSpeexDecoder dec(&lib, kelSpeexModeWB);
    dec.setOnDataAvailable(
        [&](const int16_t* s, size_t n) { reference.append(reinterpret_cast<const char*>(s), n); });
    ASSERT_TRUE(dec.open());
    for (size_t k = 2; k < packets->size(); ++k)
        dec.decode((*packets)[k].data(), intptr_t((*packets)[k].size()));
    expectPCM(gst, r, reference, 70 * 640);
}
