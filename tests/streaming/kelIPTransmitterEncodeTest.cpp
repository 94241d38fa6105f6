// The transmitter's coding, seen on the wire by a plain UDP peer: payload
// bytes, packet sizes and timestamp steps for each coded encoding, the
// packet prefixes of MPEG audio and CELT, and the frame analysis of MPEG
// audio written already coded.

#include "codecs/kelADPCM.h"
#include "codecs/kelG711.h"
#include "codecs/kelG7221.h"
#include "codecs/kelGSM.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPCoding.h"
#include "tests/support/kelTestMpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Packet
{
    size_t size;   // payload bytes
    uint32_t step; // timestamp step to the next packet (0: not checked)
};

struct Case
{
    const char* name;
    int pt;
    kelString sdp;
    std::vector<std::vector<uint8_t>> writes;
    // The payloads expected, in order; the timestamp steps between them
    // (each packet moves the timestamp on by its own samples before it
    // goes, so a step is the later packet's samples).
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<uint32_t> steps;
};

std::vector<uint8_t> ulaw(const std::vector<uint8_t>& pcm)
{
    std::vector<int16_t> s(pcm.size() / 2);
    std::memcpy(s.data(), pcm.data(), s.size() * 2);
    std::vector<uint8_t> out(s.size());
    ulawCompress(s.size(), s.data(), out.data());
    return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n)
{
    return std::vector<uint8_t>(v.begin() + long(from), v.begin() + long(from + n));
}

template <class Base> struct CollectUnits : Base
{
    using Base::Base;
    std::vector<std::vector<uint8_t>> units;
    void dataAvailable(kelGSMcoder*, const uint8_t* data, intptr_t len) override
    {
        units.emplace_back(data, data + len);
    }
};
template <class Base> struct CollectFrames : Base
{
    using Base::Base;
    std::vector<std::vector<uint8_t>> units;
    void frameReady(const uint8_t* data, intptr_t len) override { units.emplace_back(data, data + len); }
};

} // namespace

TEST(kelIPTransmitterEncode, EachEncodingSendsItsPayloadsWithItsTimestampSteps)
{
    const std::vector<uint8_t> pcm = kelTestSweepPCM(10000);
    const std::vector<uint8_t> mu = ulaw(pcm);

    std::vector<int16_t> samples(10000);
    std::memcpy(samples.data(), pcm.data(), pcm.size());
    kelADPCM_encoder dvi(adpcm_DVI4);
    const uint8_t* block = nullptr;
    const size_t blockSize = dvi.encode(samples.data(), samples.size(), block);
    const std::vector<uint8_t> dviBlock(block, block + blockSize);

    kelADPCM_encoder vdvi(adpcm_VDVI);
    const size_t vdviSize = vdvi.encode(samples.data(), 160, block);
    const std::vector<uint8_t> vdviBlock(block, block + vdviSize);

    CollectUnits<kelGSMEncoder> gsm(false);
    gsm.write(pcm.data(), 640);
    CollectUnits<kelGSMEncoder> gsm49(true);
    gsm49.write(pcm.data(), 1280);
    CollectFrames<kelG7221Encoder> g7221(16000, 24000);
    g7221.write(pcm.data(), 1280);

    const std::vector<uint8_t> odd = slice(pcm, 0, 4);
    const std::vector<Case> cases = {
        {"PCMU 20000 bytes as 8000 + 2000 samples",
         0,
         kelTestAudioSDP(0),
         {pcm},
         {slice(mu, 0, 8000), slice(mu, 8000, 2000)},
         {2000}},
        {"PCMU odd writes keep the cut sample",
         0,
         kelTestAudioSDP(0),
         {slice(odd, 0, 3), slice(odd, 3, 1)},
         {slice(mu, 0, 1), slice(mu, 1, 1)},
         {1}},
        {"DVI4 20000 bytes as one block", 5, kelTestAudioSDP(5), {pcm}, {dviBlock}, {}},
        {"GSM 33-byte frames of 160 samples",
         3,
         kelTestAudioSDP(3),
         {slice(pcm, 0, 500), slice(pcm, 500, 140)},
         {gsm.units[0], gsm.units[1]},
         {160}},
        {"VDVI 160 samples", 115, kelTestAudioSDP(115, "VDVI/8000/1"), {slice(pcm, 0, 320)}, {vdviBlock}, {}},
        {"GSM49 65-byte units of 320 samples",
         119,
         kelTestAudioSDP(119, "GSM49/8000/1"),
         {slice(pcm, 0, 1280)},
         {gsm49.units[0], gsm49.units[1]},
         {320}},
        {"G.722.1 60-byte frames of 320 samples",
         120,
         kelTestAudioSDP(120, "G7221/16000/1", "bitrate=24"),
         {slice(pcm, 0, 1280)},
         {g7221.units[0], g7221.units[1]},
         {320}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelTestPeer peer;
        kelOwned<TkelIPTransmitter> tx = kelTestCodingTransmitter(peer, c.sdp, [](TkelIPTransmitter&) {});
        ASSERT_TRUE(tx);
        for (const auto& w : c.writes)
            EXPECT_EQ(tx->write(w.data(), uint32_t(w.size())), w.size());
        std::vector<std::vector<uint8_t>> got;
        for (size_t i = 0; i < c.payloads.size(); ++i) {
            got.push_back(peer.receiveRTP(uint8_t(c.pt), 10000));
            ASSERT_FALSE(got.back().empty()) << "packet " << i;
            EXPECT_EQ(kelTestRTPPayload(got.back()), c.payloads[i]) << "packet " << i;
        }
        for (size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(kelTestRTPTimestamp(got[i + 1]) - kelTestRTPTimestamp(got[i]), c.steps[i]);
        EXPECT_TRUE(peer.receiveRTP(uint8_t(c.pt), 100).empty()) << "more packets than expected";
        tx->close();
    }
}

TEST(kelIPTransmitterEncode, CeltPacketsCarryTheirLengthInFront)
{
    kelTestPeer peer;
    const std::vector<uint8_t> pcm = kelTestSweepPCM(960 * 2);
    kelOwned<TkelIPTransmitter> tx =
        kelTestCodingTransmitter(peer, kelTestAudioSDP(118, "CELT/48000/2"), [](TkelIPTransmitter& t) {
            t.setExLib(c_lib_celt, kelString(kelTestCeltLibrary.begin(), kelTestCeltLibrary.end()));
            t.setBitrate(100);
        });
    ASSERT_TRUE(tx);
    // One stereo frame of 960 samples: 3840 bytes.
    ASSERT_EQ(tx->write(pcm.data(), uint32_t(pcm.size())), 3840u);
    const std::vector<uint8_t> payload = kelTestRTPPayload(peer.receiveRTP(118, 10000));
    // 100 kbit/s at 50 frames a second: 256 bytes, behind 255 1.
    ASSERT_EQ(payload.size(), 2u + 256u);
    EXPECT_EQ(payload[0], 255);
    EXPECT_EQ(payload[1], 1);
    // The stand-in's bytes: the frame's sample sum plus the index.
    for (size_t i = 1; i < 256; ++i)
        EXPECT_EQ(uint8_t(payload[2 + i] - payload[2]), uint8_t(i));
    tx->close();
}

TEST(kelIPTransmitterEncode, MissingCodersFailTheOpenWithTheirText)
{
    struct Row
    {
        kelString sdp;
        kelString error;
    };
    const std::vector<Row> rows = {
        {kelTestAudioSDP(97, "speex/44100/1"), u"No Speex library."},
        {kelTestAudioSDP(116, "CELT/16000/1"), u"No CELT library."},
    };
    for (const Row& r : rows) {
        kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
        ASSERT_TRUE(tx);
        tx->setURI(kelTestURI(kelTestFreeRTPPort()));
        tx->setExLib(c_lib_celt, u"/nonexistent/libcelt.so");
        tx->setSDP(r.sdp);
        EXPECT_FALSE(tx->open());
        EXPECT_EQ(tx->descriptionError(), r.error);
    }
}

TEST(kelIPTransmitterEncode, WrittenMpegAudioGoesOneFramePerPacketBehindFourZeroBytes)
{
    kelTestPeer peer;
    kelOwned<TkelIPTransmitter> tx = kelTestCodingTransmitter(
        peer, kelTestAudioSDP(14), [](TkelIPTransmitter& t) { t.setDoEncode(false); });
    ASSERT_TRUE(tx);
    // MPEG-1 Layer III, 128 kbit/s, 44100 Hz: 417 bytes, 418 padded;
    // written in pieces that cut frames anywhere, behind some garbage.
    std::string stream = "garbage!!";
    std::vector<std::string> frames;
    for (int i = 0; i < 12; ++i) {
        kelTestMpegFrame f;
        f.padding = i % 3 == 1;
        f.length = 417 + f.padding;
        frames.push_back(kelTestMpegFrameBytes(f));
        stream += frames.back();
    }
    for (size_t at = 0; at < stream.size(); at += 700) {
        const std::string piece = stream.substr(at, 700);
        tx->write(piece.data(), uint32_t(piece.size()));
    }
    std::vector<std::vector<uint8_t>> got;
    for (;;) {
        std::vector<uint8_t> p = peer.receiveRTP(14, got.size() < 5 ? 10000 : 300);
        if (p.empty()) break;
        got.push_back(std::move(p));
    }
    // The last frames wait for the finder's look-ahead.
    ASSERT_GE(got.size(), 5u);
    for (size_t i = 0; i < got.size(); ++i) {
        const std::vector<uint8_t> payload = kelTestRTPPayload(got[i]);
        ASSERT_EQ(payload.size(), 4 + frames[i].size()) << i;
        EXPECT_EQ(slice(payload, 0, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
        EXPECT_EQ(std::string(payload.begin() + 4, payload.end()), frames[i]) << i;
        // 1152 samples at 44100 Hz on the 90 kHz clock.
        if (i > 0) {
            EXPECT_NEAR(double(kelTestRTPTimestamp(got[i]) - kelTestRTPTimestamp(got[i - 1])), 2351.0, 1.0);
        }
    }
    tx->close();
}

TEST(kelIPMpegAnalysis, DataWithoutFramesIsGivenUpOnAndMemoryStaysBounded)
{
    kelIPMpegAnalysis analysis;
    analysis.reset();
    analysis.start();
    const std::string garbage(4000, 'x');
    size_t frames = 0;
    int writes = 0;
    while (analysis.write(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(),
                          [&](const uint8_t*, size_t, intptr_t, intptr_t) { ++frames; })) {
        ++writes;
        EXPECT_LT(analysis.buffered(), 8000u);
        ASSERT_LE(writes, 2 * kelIPMpegAnalysis::kCheckWrites);
    }
    EXPECT_EQ(frames, 0u);
    EXPECT_FALSE(analysis.analyzing());
    EXPECT_EQ(writes, kelIPMpegAnalysis::kCheckWrites);
    // For the rest of the session: starting again does not take.
    analysis.start();
    EXPECT_FALSE(analysis.analyzing());
    EXPECT_FALSE(analysis.write(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size(), {}));

    // Framed audio keeps it on.
    analysis.reset();
    analysis.start();
    kelTestMpegFrame f;
    std::string stream;
    for (int i = 0; i < 20; ++i)
        stream += kelTestMpegFrameBytes(f);
    for (int w = 0; w < 3 * kelIPMpegAnalysis::kCheckWrites; ++w)
        ASSERT_TRUE(analysis.write(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                                   [&](const uint8_t*, size_t len, intptr_t spf, intptr_t rate) {
                                       EXPECT_EQ(len, 417u);
                                       EXPECT_EQ(spf, 1152);
                                       EXPECT_EQ(rate, 44100);
                                   }));
    EXPECT_TRUE(analysis.analyzing());
}

TEST(kelIPTransmitterEncode, LameOutputGoesOneWholeFramePerPacket)
{
    kelTestPeer peer;
    kelOwned<TkelIPTransmitter> tx = kelTestCodingTransmitter(
        peer, kelTestAudioSDP(14, "MPA/44100/2"), [](TkelIPTransmitter& t) { t.setBitrate(128); });
    ASSERT_TRUE(tx);
    if (!tx->descriptionError().empty())
        GTEST_SKIP() << std::string(tx->descriptionError().begin(), tx->descriptionError().end());
    const std::vector<uint8_t> pcm = kelTestSweepPCM(44100 * 2 / 2, 91); // half a second, stereo
    for (size_t at = 0; at < pcm.size(); at += 4410)
        tx->write(pcm.data() + at, uint32_t(std::min<size_t>(4410, pcm.size() - at)));
    tx->close(); // the last frames go out at close
    size_t packets = 0;
    std::vector<uint8_t> prev;
    for (std::vector<uint8_t> p; !(p = peer.receiveRTP(14, packets < 5 ? 10000 : 300)).empty(); ++packets) {
        const std::vector<uint8_t> payload = kelTestRTPPayload(p);
        ASSERT_GT(payload.size(), 8u);
        EXPECT_EQ(slice(payload, 0, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
        kelMpegHeader h;
        ASSERT_TRUE(kelMpegAudio_layer123::parseHeader(payload.data() + 4, h)) << packets;
        kelBitReader_stream none;
        kelMpegAudio_layer123 finder(&none);
        EXPECT_EQ(finder.frameLength(h), intptr_t(payload.size() - 4)) << "not one whole frame: " << packets;
        if (!prev.empty()) {
            EXPECT_NEAR(double(kelTestRTPTimestamp(p) - kelTestRTPTimestamp(prev)), 2351.0, 1.0);
        }
        prev = p;
    }
    // Half a second is about 19 frames of 1152 samples.
    EXPECT_GE(packets, 15u);
}

TEST(kelIPTransmitterEncode, WrittenDataThatIsNotMpegAudioGoesOutAsIsOnceTheAnalysisGivesUp)
{
    kelTestPeer peer;
    kelOwned<TkelIPTransmitter> tx = kelTestCodingTransmitter(
        peer, kelTestAudioSDP(14), [](TkelIPTransmitter& t) { t.setDoEncode(false); });
    ASSERT_TRUE(tx);
    std::vector<uint8_t> block(1000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 13 + 1);
    std::vector<uint8_t> expected(4, 0);
    expected.insert(expected.end(), block.begin(), block.end());
    // The first kCheckWrites writes go into the frame finder; every one
    // after the judgement goes out (not only one in every hundred). Each is
    // taken off the wire before the next, so the peer's buffer never fills.
    for (int w = 0; w < 2 * kelIPMpegAnalysis::kCheckWrites + 10; ++w) {
        tx->write(block.data(), uint32_t(block.size()));
        if (w < kelIPMpegAnalysis::kCheckWrites) continue;
        const std::vector<uint8_t> p = peer.receiveRTP(14, 10000);
        ASSERT_FALSE(p.empty()) << "write " << w;
        EXPECT_EQ(kelTestRTPPayload(p), expected);
    }
    EXPECT_TRUE(peer.receiveRTP(14, 200).empty());
    tx->close();
}
