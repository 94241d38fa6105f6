// Our transmitter's audio coding into real peers on 127.0.0.1: GStreamer
// depayloads our G.711, GSM, MPEG audio (a file sent as it is, and LAME's
// frames) and Speex; ffmpeg reads our G.711 and Speex through the session
// description we send by. What the peer depayloads must be what our coders
// made, and what it decodes must equal the reference decoding of those same
// frames.

#include "codecs/kelG711.h"
#include "codecs/kelGSM.h"
#include "codecs/kelSpeexCoder.h"
#include "platform/kelPlatformThread.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestIPCoding.h"
#include "tests/support/kelTestIPCodingPeers.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestSpeex.h"
#include "tests/support/kelTestSpeexReference.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// gst-launch-1.0 taking RTP on 127.0.0.1:`port` with `caps` into
// `pipeline`; true once its socket is bound.
bool startGstReceiver(kelTestProcess& gst, uint16_t port, const std::string& caps,
                      const std::string& pipeline, const std::string& log)
{
    if (!gst.start(kelTestWords("gst-launch-1.0 -q -e udpsrc address=127.0.0.1 buffer-size=1048576 port=" +
                                std::to_string(port) + " caps=application/x-rtp,media=audio," + caps + " ! " +
                                pipeline),
                   log))
        return false;
    return kelTestWaitUntil([&] { return !kelTestUdpPortFree(port) || gst.exited(); }, 20000) &&
           !gst.exited();
}

// ffmpeg reading `sdp` (written into `dir`) with `inputOptions`, its
// decoded samples into `out`; true once its socket on `port` is bound.
bool startFfmpegReceiver(kelTestProcess& ff, const kelTempDir& dir, const std::string& sdp, uint16_t port,
                         const std::string& inputOptions, const std::string& out)
{
    const std::string sdpPath = dir.file("ours.sdp");
    std::ofstream(sdpPath, std::ios::binary) << sdp;
    if (!ff.start(
            kelTestWords("ffmpeg -nostdin -hide_banner -loglevel error -protocol_whitelist file,udp,rtp " +
                         inputOptions + " -i " + sdpPath + " -f s16le -flush_packets 1 " + out),
            dir.file("ffmpeg.log")))
        return false;
    return kelTestWaitUntil([&] { return !kelTestUdpPortFree(port) || ff.exited(); }, 20000) && !ff.exited();
}

// Writes `data` in blocks of `block` bytes, a little apart so that the
// peer's socket never overflows.
void writePaced(TkelIPTransmitter& tx, const std::string& data, size_t block)
{
    for (size_t at = 0; at < data.size(); at += block) {
        const size_t n = std::min(block, data.size() - at);
        tx.write(data.data() + at, uint32_t(n));
        kelSleepMs(3);
    }
}

std::string asText(const std::vector<uint8_t>& bytes)
{
    return {bytes.begin(), bytes.end()};
}

// Waits until `path` holds `size` bytes. A peer stopped after that still
// handles what it has taken off its socket (its stop is an end of stream).
bool waitFileSize(const std::string& path, size_t size)
{
    return kelTestWaitUntil([&] { return kelTestProcess::readFile(path).size() >= size; }, 20000);
}

} // namespace

TEST(kelIPCodingToPeers, GStreamerDepayloadsOurG711AndGsmAsOurCodersMadeThem)
{
    if (!kelTestGstHas({"rtppcmudepay", "rtpgsmdepay"}))
        GTEST_SKIP() << "GStreamer's rtppcmudepay/rtpgsmdepay not installed (scripts/deps/ipcoding.txt)";
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
        const uint16_t gstPort = kelTestFreeRTPPort();
        kelOwned<TkelIPTransmitter> tx = kelTestTransmitterTo(gstPort, kelTestAudioSDP(row.pt), [](auto&) {});
        ASSERT_TRUE(tx);
        const std::string out = dir.file("payload.bin");
        kelTestProcess gst;
        ASSERT_TRUE(startGstReceiver(gst, gstPort, std::string("clock-rate=8000,") + row.caps,
                                     std::string(row.depay) + " ! filesink buffer-mode=2 location=" + out,
                                     dir.file("gst.log")))
            << gst.log();
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
        writePaced(*tx, asText(pcm), 320);
        EXPECT_TRUE(waitFileSize(out, expected.size()));
        gst.stop();
        tx->close();
        EXPECT_TRUE(kelTestProcess::readFile(out) == expected) << gst.log();
    }
}

TEST(kelIPCodingToPeers, GStreamerDecodesOurMpegAudioAsMpg123DoesTheSameFrames)
{
    if (!kelTestProcess::available("mpg123") || !kelTestProcess::available("ffmpeg") ||
        !kelTestGstHas({"rtpmpadepay", "mpegaudioparse", "mpg123audiodec"}))
        GTEST_SKIP() << "mpg123, ffmpeg or GStreamer's rtpmpadepay/mpegaudioparse/mpg123audiodec not "
                        "installed (scripts/deps/ipcoding.txt)";
    kelTempDir dir;
    // An MP2 file, sent as it is (the frame finder cuts it into frames).
    const std::string mp2Path = dir.file("sent.mp2");
    ASSERT_EQ(kelTestProcess::runToEnd(
                  kelTestWords("ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "
                               "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=44100:d=1.5 -c:a mp2 "
                               "-b:a 128k -f mp2 " +
                               mp2Path),
                  30000),
              0);
    const std::string mp2 = kelTestProcess::readFile(mp2Path);
    ASSERT_GT(mp2.size(), 20000u);
    // 1.5 s of stereo PCM for LAME.
    const std::string pcm = asText(kelTestSweepPCM(44100 * 3 / 2 * 2, 97));
    struct Row
    {
        const char* name;
        bool encode;
    };
    for (const Row row : {Row{"mp2 as is", false}, Row{"LAME", true}}) {
        SCOPED_TRACE(row.name);
        kelTempDir run;
        const uint16_t gstPort = kelTestFreeRTPPort();
        kelOwned<TkelIPTransmitter> tx = kelTestTransmitterTo(
            gstPort, row.encode ? kelTestAudioSDP(14, "MPA/44100/2") : kelTestAudioSDP(14),
            [&](TkelIPTransmitter& t) {
                t.setDoEncode(row.encode);
                t.setBitrate(128);
            });
        ASSERT_TRUE(tx);
        if (!tx->descriptionError().empty())
            GTEST_SKIP() << std::string(tx->descriptionError().begin(), tx->descriptionError().end());
        // The depayloaded frames go to a file as well as to the decoder.
        const std::string frames = run.file("frames.mpa"), decoded = run.file("decoded.raw");
        kelTestProcess gst;
        ASSERT_TRUE(startGstReceiver(gst, gstPort, "clock-rate=90000,encoding-name=MPA,payload=14",
                                     "rtpmpadepay ! tee name=t ! queue ! mpegaudioparse ! mpg123audiodec ! "
                                     "audio/x-raw,format=S16LE ! filesink buffer-mode=2 location=" +
                                         decoded + " t. ! queue ! filesink buffer-mode=2 location=" + frames,
                                     run.file("gst.log")))
            << gst.log();
        // Every frame goes out by the close: LAME's last ones, and those the
        // frame finder kept as look-ahead for the next write.
        if (row.encode)
            writePaced(*tx, pcm, 4608);
        else
            writePaced(*tx, mp2, 1000);
        tx->close();
        // At least one 417-byte frame per 1152 samples written.
        const size_t atLeast = row.encode ? pcm.size() / 4 / 1152 * 417 : mp2.size();
        EXPECT_TRUE(waitFileSize(frames, atLeast));
        gst.stop();
        ASSERT_TRUE(gst.exited());
        const std::string got = kelTestProcess::readFile(frames);
        EXPECT_GE(got.size(), atLeast);
        if (!row.encode) {
            EXPECT_TRUE(got == mp2) << "the frames changed on their way: " << got.size() << " bytes";
        }
        const std::string ref = run.file("mpg123.raw");
        ASSERT_EQ(kelTestProcess::runToEnd({"/bin/sh", "-c", "mpg123 -q -s " + frames + " > " + ref}, 30000),
                  0);
        const std::string want = kelTestProcess::readFile(ref), have = kelTestProcess::readFile(decoded);
        EXPECT_GE(want.size(), size_t(50 * 1152 * 4));
        EXPECT_EQ(have.size(), want.size()) << gst.log();
        EXPECT_TRUE(have == want) << "GStreamer's decoding differs from mpg123's";
    }
}

TEST(kelIPCodingToPeers, GStreamerAndFfmpegDecodeOurSpeexAsLibspeexDoes)
{
    if (!kelTestProcess::available("ffmpeg") ||
        !kelTestGstHas({"rtpspeexdepay", "speexdec", "multifilesink"}))
        GTEST_SKIP()
            << "ffmpeg or GStreamer's rtpspeexdepay/speexdec not installed (scripts/deps/ipcoding.txt)";
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    struct Row
    {
        const char* name;
        int rate, pt, mode;
    };
    const Row rows[] = {
        {"narrowband", 8000, 110, kelSpeexModeNB},
        {"wideband", 16000, 97, kelSpeexModeWB},
    };
    // Our encoder groups five frames into a packet.
    constexpr size_t kFrames = 100, kFramesPerPacket = 5, kPackets = kFrames / kFramesPerPacket;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        kelTempDir dir;
        const size_t frameSamples = size_t(row.rate) / 50;
        const std::vector<int16_t> speech = kelTestSpeech(frameSamples * kFrames, row.rate);
        const std::string pcm(reinterpret_cast<const char*>(speech.data()), speech.size() * 2);
        const uint16_t gstPort = kelTestFreeRTPPort();
        const uint16_t ffPort = kelTestPortBeside(gstPort);
        const std::string sdp = kelTestListenerSDP(ffPort, row.pt, "speex/" + std::to_string(row.rate));
        kelOwned<TkelIPTransmitter> tx =
            kelTestTransmitterTo({gstPort, ffPort}, utf8ToUtf16(sdp), [](auto&) {});
        ASSERT_TRUE(tx);
        ASSERT_TRUE(tx->descriptionError().empty());
        ASSERT_EQ(tx->encoding(), kelRTPEnc_speex);
        // GStreamer's depayloader hands on each payload whole, one file
        // each after the header and comment it makes.
        const std::string framesDir = dir.file("frames"), gstOut = dir.file("gst.raw");
        std::filesystem::create_directory(framesDir);
        kelTestProcess gst;
        ASSERT_TRUE(startGstReceiver(
            gst, gstPort,
            "clock-rate=" + std::to_string(row.rate) +
                ",encoding-name=SPEEX,payload=" + std::to_string(row.pt),
            "rtpspeexdepay ! tee name=t ! queue ! speexdec ! audio/x-raw,format=S16LE ! filesink "
            "buffer-mode=2 location=" +
                gstOut + " t. ! queue ! multifilesink location=" + framesDir + "/%05d.spx",
            dir.file("gst.log")))
            << gst.log();
        const std::string ffOut = dir.file("ffmpeg.raw");
        kelTestProcess ff;
        ASSERT_TRUE(startFfmpegReceiver(ff, dir, sdp, ffPort, "-c:a libspeex", ffOut)) << ff.log();
        writePaced(*tx, pcm, frameSamples * 2);
        EXPECT_TRUE(
            kelTestWaitUntil([&] { return kelTestFilesIn(framesDir).size() >= 2 + kPackets; }, 20000));
        // ffmpeg's decoder takes one frame of a packet a call: when its input
        // is cut off it may not have decoded the last packet's later frames.
        const size_t held = (kFramesPerPacket - 1) * frameSamples * 2;
        EXPECT_TRUE(waitFileSize(ffOut, pcm.size() - held));
        gst.stop();
        ff.stop();
        tx->close();
        const std::vector<std::string> files = kelTestFilesIn(framesDir);
        ASSERT_EQ(files.size(), 2 + kPackets) << gst.log();
        ASSERT_EQ(kelTestProcess::readFile(files[0]).compare(0, 8, "Speex   "), 0);
        std::vector<std::string> payloads;
        for (size_t k = 2; k < files.size(); ++k)
            payloads.push_back(kelTestProcess::readFile(files[k]));
        const std::string all = kelTestSpeexReference(lib, row.mode, payloads);
        EXPECT_EQ(all.size(), pcm.size());
        const std::string ffmpegPCM = kelTestProcess::readFile(ffOut);
        EXPECT_LE(ffmpegPCM.size(), all.size());
        EXPECT_GE(ffmpegPCM.size() + held, all.size()) << ff.log();
        EXPECT_TRUE(ffmpegPCM == all.substr(0, ffmpegPCM.size()))
            << "ffmpeg's decoding differs from libspeex's";
        // GStreamer's depayloader announces one frame a packet, and its
        // decoder takes no more: it plays the first of our five.
        const std::string firsts = kelTestSpeexReference(lib, row.mode, payloads, 1);
        EXPECT_EQ(firsts.size(), pcm.size() / kFramesPerPacket);
        const std::string gstPCM = kelTestProcess::readFile(gstOut);
        EXPECT_TRUE(gstPCM == firsts || gstPCM == all)
            << "speexdec's decoding differs from libspeex's: " << gstPCM.size() << " bytes";
    }
}

TEST(kelIPCodingToPeers, FfmpegReadsOurG711ThroughOurSessionDescription)
{
    if (!kelTestProcess::available("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed (scripts/deps/ipcoding.txt)";
    const std::vector<uint8_t> sweep = kelTestSweepPCM(16000, 211);
    std::vector<int16_t> samples(sweep.size() / 2);
    std::memcpy(samples.data(), sweep.data(), sweep.size());
    for (const bool mu : {true, false}) {
        SCOPED_TRACE(mu ? "PCMU" : "PCMA");
        kelTempDir dir;
        const uint16_t port = kelTestFreeRTPPort();
        ASSERT_NE(port, 0);
        // One description for both ends: our transmitter's format, and
        // where ffmpeg listens.
        const std::string sdp = kelTestListenerSDP(port, mu ? 0 : 8, mu ? "PCMU/8000" : "PCMA/8000");
        kelOwned<TkelIPTransmitter> tx = kelTestTransmitterTo(port, utf8ToUtf16(sdp), [](auto&) {});
        ASSERT_TRUE(tx);
        EXPECT_EQ(tx->encoding(), mu ? kelRTPEnc_PCMU : kelRTPEnc_PCMA);
        const std::string out = dir.file("decoded.raw");
        kelTestProcess ff;
        ASSERT_TRUE(startFfmpegReceiver(ff, dir, sdp, port, "", out)) << ff.log();
        // The G.191 expansion of what goes on the wire.
        std::vector<uint8_t> wire(samples.size());
        std::vector<int16_t> expanded(samples.size());
        if (mu) {
            ulawCompress(samples.size(), samples.data(), wire.data());
            ulawExpand(wire.size(), wire.data(), expanded.data());
        } else {
            alawCompress(samples.size(), samples.data(), wire.data());
            alawExpand(wire.size(), wire.data(), expanded.data());
        }
        const std::string expected(reinterpret_cast<const char*>(expanded.data()), expanded.size() * 2);
        writePaced(*tx, asText(sweep), 320);
        EXPECT_TRUE(waitFileSize(out, expected.size()));
        ff.stop();
        tx->close();
        const std::string got = kelTestProcess::readFile(out);
        EXPECT_EQ(got.size(), expected.size()) << ff.log();
        EXPECT_TRUE(got == expected) << "ffmpeg's samples differ from the G.191 expansion";
    }
}
