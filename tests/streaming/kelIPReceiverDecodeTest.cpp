// The receiver's decoding: what its consumers get for each coded encoding,
// and which payloads it drops (and counts) because they do not parse.

#include "codecs/kelADPCM.h"
#include "codecs/kelG711.h"
#include "codecs/kelG7221.h"
#include "codecs/kelGSM.h"
#include "codecs/kelSpeexCoder.h"
#include "tests/support/kelTestMp3.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestIPCoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string bytesOf(const int16_t* samples, size_t count)
{
    return std::string(reinterpret_cast<const char*>(samples), count * 2);
}

std::vector<int16_t> sweep(size_t count)
{
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<int16_t>(int32_t(i * 37 % 60000) - 30000);
    return out;
}

// Collects a coder's output.
template <class Base> struct Collect : Base
{
    using Base::Base;
    std::string out;
    void dataAvailable(kelGSMcoder*, const uint8_t* data, intptr_t len) override
    {
        out.append(reinterpret_cast<const char*>(data), size_t(len));
    }
};
template <class Base> struct CollectFrames : Base
{
    using Base::Base;
    std::string out;
    void frameReady(const uint8_t* data, intptr_t len) override
    {
        out.append(reinterpret_cast<const char*>(data), size_t(len));
    }
};

std::vector<uint8_t> vec(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The stand-in's decoding of one packet into a frame of `samples` samples.
std::string celtStandinFrame(const std::vector<uint8_t>& packet, size_t samples)
{
    std::vector<int16_t> pcm(samples);
    for (size_t i = 0; i < samples; ++i)
        pcm[i] = static_cast<int16_t>(packet[i % packet.size()] * 256 + int(i));
    return bytesOf(pcm.data(), samples);
}

struct Payload
{
    uint8_t pt;
    std::vector<uint8_t> bytes;
};

struct Case
{
    const char* name;
    kelString sdp; // empty: the first packet's type decides
    std::vector<Payload> payloads;
    std::string pcm;
    uint64_t dropped;
    bool decode = true;
};

} // namespace

TEST(kelIPReceiverDecode, CodedPayloadsBecomePCMAndPayloadsThatDoNotParseAreDroppedAndCounted)
{
    const std::vector<int16_t> pcm = sweep(10000);
    std::vector<uint8_t> law(256);
    for (int i = 0; i < 256; ++i)
        law[size_t(i)] = uint8_t(i);
    std::vector<int16_t> mu(256), a(256), bigMu(9000);
    ulawExpand(256, law.data(), mu.data());
    alawExpand(256, law.data(), a.data());
    std::vector<uint8_t> bigLaw(9000);
    for (size_t i = 0; i < bigLaw.size(); ++i)
        bigLaw[i] = uint8_t(i * 7);
    ulawExpand(bigLaw.size(), bigLaw.data(), bigMu.data());

    // DVI4: one block of 10000 samples, 5004 bytes, as our transmitter
    // sends a 20000-byte write.
    kelADPCM_encoder dviEnc(adpcm_DVI4);
    const uint8_t* block = nullptr;
    const size_t blockSize = dviEnc.encode(pcm.data(), pcm.size(), block);
    ASSERT_EQ(blockSize, 5004u);
    const std::vector<uint8_t> dvi(block, block + blockSize);
    kelADPCM_decoder dviDec(adpcm_DVI4);
    const int16_t* decoded = nullptr;
    const size_t decodedBytes = dviDec.decode(dvi.data(), dvi.size(), decoded);
    const std::string dviPCM(reinterpret_cast<const char*>(decoded), decodedBytes);

    Collect<kelGSMEncoder> gsmEnc(false);
    gsmEnc.write(pcm.data(), 640);
    Collect<kelGSMDecoder> gsmDec(false);
    gsmDec.write(gsmEnc.out.data(), intptr_t(gsmEnc.out.size()));
    ASSERT_EQ(gsmEnc.out.size(), 66u);

    CollectFrames<kelG7221Encoder> g7221Enc(16000, 24000);
    g7221Enc.write(pcm.data(), 640);
    CollectFrames<kelG7221Decoder> g7221Dec(16000, 24000);
    g7221Dec.write(g7221Enc.out.data(), intptr_t(g7221Enc.out.size()));
    ASSERT_EQ(g7221Enc.out.size(), 60u);

    // CELT at 16000 Hz: 320-sample frames; one stream, lengths first.
    const kelString celtSDP = kelTestAudioSDP(116, "CELT/16000/1");
    std::vector<uint8_t> tooMany(51, 1);
    tooMany.insert(tooMany.end(), 51, 0x42);

    const std::vector<Case> cases = {
        {"PCMU expands as G.191", {}, {{0, law}}, bytesOf(mu.data(), 256), 0},
        {"PCMA expands as G.191", {}, {{8, law}}, bytesOf(a.data(), 256), 0},
        {"PCMU beyond the scratch size", {}, {{0, bigLaw}}, bytesOf(bigMu.data(), bigMu.size()), 0},
        {"DVI4 of 20000 bytes", {}, {{5, dvi}}, dviPCM, 0},
        {"DVI4 header alone", {}, {{5, {0, 0, 0, 0}}, {5, {}}}, "", 1},
        {"GSM whole frames", {}, {{3, vec(gsmEnc.out)}}, gsmDec.out, 0},
        {"GSM cut frame", {}, {{3, vec(gsmEnc.out.substr(0, 40))}}, "", 1},
        {"G.722.1 at 24 kbit/s", {}, {{120, vec(g7221Enc.out)}}, g7221Dec.out, 0},
        {"G.722.1 cut frame", {}, {{120, vec(g7221Enc.out + "x")}}, "", 1},
        {"CELT two frames",
         celtSDP,
         {{116, {2, 3, 'a', 'b', 'c', 'd', 'e'}}},
         celtStandinFrame({'a', 'b'}, 320) + celtStandinFrame({'c', 'd', 'e'}, 320),
         0},
        {"CELT length past the end", celtSDP, {{116, {5, 'a', 'b'}}, {116, {255}}}, "", 2},
        {"CELT over 50 frames", celtSDP, {{116, tooMany}}, "", 1},
        {"PCMU without decoding", {}, {{0, {0x11, 0x22}}}, "\x11\x22", 0, false},
    };
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelOwned<kelTestFedReceiver> rx(kelCreate<kelTestFedReceiver>());
        ASSERT_TRUE(rx);
        rx->setExLib(c_lib_celt, kelString(kelTestCeltLibrary.begin(), kelTestCeltLibrary.end()));
        rx->setDoEncode(c.decode);
        if (!c.sdp.empty()) rx->setSDP(c.sdp);
        ASSERT_TRUE(rx->openTowards(peer));
        uint16_t seq = 1;
        for (const Payload& p : c.payloads)
            rx->feedRTP(p.pt, p.bytes, seq++);
        EXPECT_EQ(rx->pcm(), c.pcm);
        EXPECT_EQ(rx->droppedPayloads(), c.dropped);
        for (uint32_t b : rx->blocks())
            EXPECT_LE(b, kelIPStreamer::kScratchSize);
        const kelWaveFormat format = rx->exmtFormat();
        // Decoded audio is 16-bit PCM; G.711 passed on says what it is.
        EXPECT_EQ(format.formatTag, c.decode ? kelWaveFormatTagPCM : kelWaveFormatTagMuLaw);
        EXPECT_EQ(format.formatOriginal.pcmBitsPerSample, c.decode ? 16u : 8u);
        rx->close();
    }
}

TEST(kelIPReceiverDecode, MissingDecodersSayWhichAndPassNothingOn)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    struct Row
    {
        kelString sdp;
        uint8_t pt;
        kelString error;
    };
    const std::vector<Row> rows = {
        // No CELT library under this name.
        {kelTestAudioSDP(116, "CELT/16000/1"), 116, u"No CELT decodign library"},
        // Speex has no mode at 44100 Hz.
        {kelTestAudioSDP(97, "speex/44100/1"), 97, u"No Speex decodign library"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.error.begin(), r.error.end()));
        kelOwned<kelTestFedReceiver> rx(kelCreate<kelTestFedReceiver>());
        ASSERT_TRUE(rx);
        rx->setExLib(c_lib_celt, u"/nonexistent/libcelt.so");
        rx->setSDP(r.sdp);
        ASSERT_TRUE(rx->openTowards(peer));
        rx->feedRTP(r.pt, {1, 2, 3, 4});
        EXPECT_EQ(rx->descriptionError(), r.error);
        EXPECT_EQ(rx->pcm(), "");
        rx->close();
    }
}

TEST(kelIPCeltFrames, LengthPrefixesAndSplits)
{
    const std::vector<std::pair<size_t, std::vector<uint8_t>>> prefixes = {
        {300, {255, 45}}, {254, {254}}, {255, {255, 0}}, {0, {0}}, {510, {255, 255, 0}}};
    for (const auto& [len, prefix] : prefixes) {
        std::vector<uint8_t> out = {9, 9, 9};
        kelCeltLengthPrefix(len, out);
        EXPECT_EQ(out, prefix) << len;
        // What we send, the receiver splits back into the one frame.
        std::vector<uint8_t> payload = prefix;
        payload.insert(payload.end(), len, 0x33);
        std::vector<kelCeltFrame> frames;
        if (len == 0) continue;
        ASSERT_TRUE(kelCeltSplitFrames(payload.data(), payload.size(), 1, frames)) << len;
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].len, len);
        EXPECT_EQ(frames[0].data, payload.data() + prefix.size());
    }
    struct Split
    {
        std::vector<uint8_t> payload;
        size_t streams;
        std::vector<size_t> lengths; // empty: refused
    };
    std::vector<uint8_t> fifty(50, 1), fiftyOne(51, 1);
    fifty.insert(fifty.end(), 50, 7);
    fiftyOne.insert(fiftyOne.end(), 51, 7);
    const std::vector<Split> splits = {
        {{2, 1, 'a', 'b', 'c'}, 1, {2, 1}},
        {{1, 2, 'a', 'b', 'c'}, 2, {1, 2}},     // one frame of two streams
        {{1, 'a', 'b'}, 2, {}},                 // the second stream's length is missing
        {{3, 'a', 'b'}, 1, {}},                 // more announced than there is
        {{255, 255}, 1, {}},                    // length bytes run past the end
        {fifty, 1, std::vector<size_t>(50, 1)}, // the limit
        {fiftyOne, 1, {}},                      // the limit + 1
        {{1, 'a'}, 17, {}},                     // too many streams
    };
    for (size_t i = 0; i < splits.size(); ++i) {
        const Split& s = splits[i];
        std::vector<kelCeltFrame> frames;
        const bool ok = kelCeltSplitFrames(s.payload.data(), s.payload.size(), s.streams, frames);
        EXPECT_EQ(ok, !s.lengths.empty()) << i;
        std::vector<size_t> lengths;
        for (const kelCeltFrame& f : frames)
            lengths.push_back(f.len);
        EXPECT_EQ(lengths, s.lengths) << i;
    }
}

// The library decoders: our PCM equals the library's own decoding of the
// same payloads, one RTP packet each.
TEST(kelIPReceiverDecode, SpeexAndMpegAudioDecodeAsTheirLibrariesDo)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    std::vector<std::vector<uint8_t>> frames;
    {
        kelSpeexEncoder enc(&lib, kelSpeexModeWB);
        enc.setOnDataAvailable(
            [&](intptr_t, const uint8_t* d, size_t n, int) { frames.emplace_back(d, d + n); });
        ASSERT_TRUE(enc.open());
        const std::vector<int16_t> pcm = sweep(16000);
        enc.encode_int(pcm.data(), intptr_t(pcm.size() * 2));
    }
    ASSERT_EQ(frames.size(), 50u);
    std::string reference;
    {
        kelSpeexDecoder dec(&lib, kelSpeexModeWB);
        dec.setOnDataAvailable(
            [&](const int16_t* s, size_t n) { reference.append(reinterpret_cast<const char*>(s), n); });
        ASSERT_TRUE(dec.open());
        for (const auto& f : frames)
            dec.decode(f.data(), intptr_t(f.size()));
    }
    kelOwned<kelTestFedReceiver> rx(kelCreate<kelTestFedReceiver>());
    ASSERT_TRUE(rx && rx->openTowards(peer));
    uint16_t seq = 1;
    for (const auto& f : frames)
        rx->feedRTP(111, f, seq++);
    EXPECT_EQ(rx->encoding(), kelRTPEnc_speex);
    EXPECT_EQ(rx->samplingRate(), 16000);
    EXPECT_TRUE(rx->pcm() == reference) << rx->pcm().size() << " vs " << reference.size();
    rx->close();

    // MPEG audio: LAME's frames behind RFC 2250's header.
    kelLameEncoder lame;
    kelLibmpg123Decoder mpg;
    if (!lame.libOK() || !mpg.libOK())
        GTEST_SKIP() << "libmp3lame0 or libmpg123-0 missing (scripts/deps/lamempg.txt)";
    lame.setInput(44100, 2);
    ASSERT_EQ(lame.open(128, true), BE_ERR_SUCCESSFUL);
    const std::string mp3 = kelTestLameEncode(lame, kelTestMusic(44100, 2, 44100), 4096);
    lame.close();
    ASSERT_EQ(mpg.open(), 0);
    const kelTestMp3Decoded ref = kelTestMpg123Decode(mpg, mp3, mp3.size());
    ASSERT_FALSE(ref.failed);
    // Three frames a packet, as ffmpeg sends them.
    kelIPMpegFrames splitter;
    std::vector<std::vector<uint8_t>> packets;
    size_t frameCount = 0;
    (void)splitter.write(reinterpret_cast<const uint8_t*>(mp3.data()), mp3.size(), false,
                         [&](const uint8_t* f, size_t n, intptr_t, intptr_t) {
                             if (frameCount++ % 3 == 0) packets.emplace_back(4, 0);
                             packets.back().insert(packets.back().end(), f, f + n);
                         });
    ASSERT_GT(packets.size(), 10u);
    kelOwned<kelTestFedReceiver> mrx(kelCreate<kelTestFedReceiver>());
    ASSERT_TRUE(mrx && mrx->openTowards(peer));
    seq = 1;
    for (const auto& p : packets)
        mrx->feedRTP(14, p, seq++);
    EXPECT_EQ(mrx->encoding(), kelRTPEnc_MPA);
    EXPECT_EQ(mrx->samplingRate(), 44100);
    EXPECT_EQ(mrx->numChannels(), 2);
    EXPECT_TRUE(mrx->pcm() == ref.pcm) << mrx->pcm().size() << " vs " << ref.pcm.size();
    for (uint32_t b : mrx->blocks())
        EXPECT_LE(b, kelIPStreamer::kScratchSize);
    mrx->close();
}
