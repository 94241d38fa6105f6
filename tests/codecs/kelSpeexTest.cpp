#include "codecs/kelSpeexAPI.h"

#include "core/kelCreate.h"
#include "tests/support/kelTestSpeex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// An encoder whose frame step the test drives directly, with the voice flag
// it chooses.
class TestEncoder : public kelSpeexEncoder
{
public:
    using kelSpeexEncoder::encodeFrame;
    using kelSpeexEncoder::kelSpeexEncoder;
};

} // namespace

TEST(kelSpeexBindingTest, LoadsCountAndAMissingExportUnloads)
{
    kelSpeexBinding speex;
    if (speex.load(u" ") != 0) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    EXPECT_EQ(speex.load(u"libspeex.so.1"), 0);
    EXPECT_EQ(speex.loadCount(), 2);
    EXPECT_NE(speex.calls().speex_encode_int, nullptr);
    speex.unload();
    EXPECT_TRUE(speex.loaded());
    speex.unload();
    EXPECT_FALSE(speex.loaded());
    EXPECT_EQ(speex.calls().speex_encode_int, nullptr);

    // A library that is there but lacks the exports: refused and unloaded.
    struct Case
    {
        const char16_t* name;
        int speexResult;
        int dspResult;
    };
    const Case cases[] = {
        {u"libspeexdsp.so.1", kelLibMissingExport, 0},
        {u"libspeex.so.1", 0, kelLibMissingExport},
        {u"libkel-no-such-library.so.9", kelLibNotFound, kelLibNotFound},
    };
    for (const Case& c : cases) {
        kelSpeexBinding a;
        kelSpeexDSPBinding b;
        EXPECT_EQ(a.load(c.name), c.speexResult);
        EXPECT_EQ(b.load(c.name), c.dspResult);
        EXPECT_EQ(a.loaded(), c.speexResult == 0);
        EXPECT_EQ(b.loaded(), c.dspResult == 0);
        EXPECT_EQ(a.calls().speex_bits_init != nullptr, c.speexResult == 0);
    }
}

TEST(kelSpeexCoderTest, WithoutTheLibraryEveryCallIsNeutral)
{
    kelSpeexLib lib(u"libkel-no-such-library.so.9");
    EXPECT_FALSE(lib.libOK());
    EXPECT_EQ(lib.lastError(), kelLibNotFound);
    kelOwned<kelSpeexEncoder> enc(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    kelOwned<kelSpeexDecoder> dec(kelCreate<kelSpeexDecoder>(&lib, kelSpeexModeNB));
    EXPECT_FALSE(enc->open());
    EXPECT_FALSE(dec->open());
    const std::vector<int16_t> pcm(320);
    EXPECT_EQ(enc->encode_int(pcm.data(), 640), 0);
    EXPECT_EQ(dec->decode(pcm.data(), 38), 0);
    EXPECT_EQ(enc->frameSize(), 0);
    kelSpeexDSP dsp(u"libkel-no-such-library.so.9");
    EXPECT_FALSE(dsp.libOK());
    EXPECT_EQ(dsp.open(160, 8000, true), -1);
    uintptr_t used = 100;
    EXPECT_EQ(dsp.resampleSrc(pcm.data(), 320, 16000, std::vector<int16_t>(100).data(), used), 0u);
    EXPECT_EQ(used, 0u);
}

TEST(kelSpeexCoderTest, EncoderKeepsPartialFramesAcrossCalls)
{
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    kelOwned<kelSpeexEncoder> enc(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    ASSERT_TRUE(enc->open());
    EXPECT_EQ(enc->frameSize(), 160);
    EXPECT_EQ(enc->samplingRate(), 8000);
    std::vector<intptr_t> deltas;
    enc->setOnDataAvailable([&](intptr_t delta, const uint8_t*, size_t size, int frames) {
        EXPECT_EQ(frames, 1);
        EXPECT_EQ(size, 38u); // narrowband quality 7: 300 bits
        deltas.push_back(delta);
    });
    const auto pcm = kelTestSpeech(400, 8000);
    EXPECT_EQ(enc->encode_int(pcm.data(), 500), 500);
    EXPECT_EQ(deltas, (std::vector<intptr_t>{250}));
    // 180 bytes wait; 140 more complete the second frame.
    EXPECT_EQ(enc->encode_int(pcm.data() + 250, 140), 140);
    EXPECT_EQ(deltas, (std::vector<intptr_t>{250, 70}));

    // Split anywhere, the same input gives the same frames as whole frames.
    kelOwned<kelSpeexEncoder> whole(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    kelOwned<kelSpeexEncoder> split(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    ASSERT_TRUE(whole->open() && split->open());
    std::vector<uint8_t> a, b;
    whole->setOnDataAvailable(
        [&](intptr_t, const uint8_t* d, size_t n, int) { a.insert(a.end(), d, d + n); });
    split->setOnDataAvailable(
        [&](intptr_t, const uint8_t* d, size_t n, int) { b.insert(b.end(), d, d + n); });
    EXPECT_EQ(whole->encode_int(pcm.data(), 800), 800);
    for (size_t at = 0, step = 1; at < 800; step = step * 3 % 97 + 1) {
        const size_t bytes = std::min<size_t>(step * 2, 800 - at);
        ASSERT_EQ(split->encode_int(pcm.data() + at / 2, intptr_t(bytes)), intptr_t(bytes));
        at += bytes;
    }
    EXPECT_EQ(a.size(), 38u * 2);
    EXPECT_EQ(a, b);
}

TEST(kelSpeexCoderTest, VoiceHangoverSendsTwentyOneFramesAfterSpeech)
{
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    for (bool vbr : {false, true}) {
        kelOwned<TestEncoder> enc(kelCreate<TestEncoder>(&lib, kelSpeexModeNB));
        enc->setVbr(vbr);
        ASSERT_TRUE(enc->open());
        int blocks = 0;
        enc->setOnDataAvailable([&](intptr_t, const uint8_t*, size_t, int) { ++blocks; });
        std::vector<int16_t> frame(160);
        for (int k = 0; k < 10; ++k)
            enc->encodeFrame(frame.data(), true);
        for (int k = 0; k < 30; ++k)
            enc->encodeFrame(frame.data(), false);
        EXPECT_EQ(blocks, vbr ? 40 : 10 + 21) << vbr;
        enc->encodeFrame(frame.data(), true); // speech again
        EXPECT_EQ(blocks, vbr ? 41 : 32) << vbr;
    }
}

TEST(kelSpeexCoderTest, RtpGroupingCollectsFiveFramesPerBlock)
{
    kelSpeexLib lib;
    if (!lib.libOK()) GTEST_SKIP() << "libspeex1 not installed (scripts/deps/speex.txt)";
    kelOwned<kelSpeexEncoder> enc(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeWB));
    enc->setOp4RTP(true);
    ASSERT_TRUE(enc->open());
    ASSERT_EQ(enc->frameSize(), 320);
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<intptr_t> deltas;
    enc->setOnDataAvailable([&](intptr_t delta, const uint8_t* d, size_t n, int frames) {
        EXPECT_EQ(frames, 5);
        blocks.emplace_back(d, d + n);
        deltas.push_back(delta);
    });
    const auto pcm = kelTestSpeech(320 * 12, 16000);
    EXPECT_EQ(enc->encode_int(pcm.data(), intptr_t(pcm.size() * 2)), intptr_t(pcm.size() * 2));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(deltas, (std::vector<intptr_t>{3840, 0}));

    // A decoder splits a block back into its five frames.
    kelOwned<kelSpeexDecoder> dec(kelCreate<kelSpeexDecoder>(&lib, kelSpeexModeWB));
    ASSERT_TRUE(dec->open());
    int frames = 0;
    dec->setOnDataAvailable([&](const int16_t*, size_t size) {
        EXPECT_EQ(size, 640u);
        ++frames;
    });
    EXPECT_EQ(dec->decode(blocks[0].data(), intptr_t(blocks[0].size())), intptr_t(blocks[0].size()));
    EXPECT_EQ(frames, 5);
}

TEST(kelSpeexDSPTest, ResamplerStaysWithinTheRoomItIsGiven)
{
    kelOwned<kelSpeexDSP> dsp(kelCreate<kelSpeexDSP>(kelString()));
    if (!dsp->libOK()) GTEST_SKIP() << "libspeexdsp1 not installed (scripts/deps/speex.txt)";
    ASSERT_EQ(dsp->open(160, 8000, false), 0);
    const auto pcm = kelTestSpeech(882, 44100);
    // Guard samples after the room must stay untouched.
    std::vector<int16_t> out(200, 0x5A5A);
    uintptr_t used = 100;
    const uintptr_t consumed = dsp->resampleSrc(pcm.data(), 882, 44100, out.data(), used);
    EXPECT_EQ(used, 100u);
    EXPECT_LT(consumed, 882u);
    EXPECT_GT(consumed, 500u);
    for (size_t k = 100; k < out.size(); ++k)
        ASSERT_EQ(out[k], 0x5A5A) << k;
    // With room for all, the rest of the chunk gives the rest of the output.
    used = 200;
    const uintptr_t rest = dsp->resampleSrc(pcm.data() + consumed, 882 - consumed, 44100, out.data(), used);
    EXPECT_EQ(rest, 882 - consumed);
    EXPECT_EQ(used, 60u);
}

TEST(kelSpeexCoderTest, AssignedDSPsVoiceDetectionDecidesTheHangover)
{
    kelSpeexLib lib;
    kelOwned<kelSpeexDSP> dsp(kelCreate<kelSpeexDSP>(kelString()));
    if (!lib.libOK() || !dsp->libOK())
        GTEST_SKIP() << "libspeex1/libspeexdsp1 not installed (scripts/deps/speex.txt)";
    dsp->setVad(true);
    kelOwned<kelSpeexEncoder> enc(kelCreate<kelSpeexEncoder>(&lib, kelSpeexModeNB));
    enc->assignDSP(dsp.get(), false);
    ASSERT_TRUE(enc->open());
    ASSERT_TRUE(dsp->active());
    EXPECT_TRUE(dsp->vad());
    int blocks = 0;
    enc->setOnDataAvailable([&](intptr_t, const uint8_t*, size_t, int) { ++blocks; });
    const auto speech = kelTestSpeech(160 * 50, 8000);
    const std::vector<int16_t> silence(160 * 60);
    // Frame by frame: the DSP's verdict and whether a block came out.
    std::vector<bool> voice, sent;
    for (int k = 0; k < 110; ++k) {
        const int16_t* frame = k < 50 ? speech.data() + k * 160 : silence.data() + (k - 50) * 160;
        const int before = blocks;
        ASSERT_EQ(enc->encode_int(frame, 320), 320);
        voice.push_back(dsp->lastFrameVoice());
        sent.push_back(blocks > before);
    }
    ASSERT_TRUE(voice[49]) << "the speech part should count as voice";
    size_t end = 50;
    while (end < voice.size() && voice[end])
        ++end;
    ASSERT_LT(end + 22, voice.size()) << "the DSP should report the silence";
    for (size_t k = end; k < end + 21; ++k)
        EXPECT_TRUE(sent[k]) << "hang-over frame " << k - end;
    for (size_t k = end + 21; k < voice.size(); ++k)
        EXPECT_FALSE(sent[k]) << "frame " << k - end << " after speech";
}
