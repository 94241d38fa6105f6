// The G.722.1 coders against the reference vectors (bit streams byte for
// byte, decoded output by its SHA-256), and their configuration, buffering
// and concealment.
#include "codecs/kelG7221.h"
#include "codecs/kelG7221Tables.h"

#include "tests/support/kelTestG7221.h"
#include "tests/support/kelTestSha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace {

// Decodes `bits` frame by frame at all 16 bits; frames listed in `lost`
// are decoded as lost. Little-endian bytes, as the reference files are.
std::string decodeFull(const kelTestG7221Vector& v, const std::string& bits,
                       const std::vector<int>& lost = {})
{
    const kelG7221Mode mode = kelG7221Mode::forRate(v.sampleRate, v.bitrate);
    kelG7221FrameDecoder decoder(mode);
    const size_t frameBytes = size_t(mode.bytesPerFrame());
    std::vector<int16_t> samples(size_t(mode.frameSize));
    std::string out;
    for (size_t f = 0; f + frameBytes <= bits.size(); f += frameBytes) {
        const bool isLost = std::find(lost.begin(), lost.end(), int(f / frameBytes)) != lost.end();
        decoder.decode(isLost ? nullptr : reinterpret_cast<const uint8_t*>(bits.data() + f), samples.data());
        out += kelBytesFromSamples(samples);
    }
    return out;
}

} // namespace

TEST(kelG7221VectorTest, EncoderReproducesEveryReferenceBitStream)
{
    int checked = 0;
    for (const auto& v : kelTestG7221Vectors()) {
        if (std::string(v.signal) == "random") continue; // not encoder output
        const std::string input = kelTestG7221File(v.stem() + ".raw");
        const std::string expected = kelTestG7221File(v.name() + ".bit");
        ASSERT_FALSE(input.empty() || expected.empty()) << v.name();
        kelTestG7221Encoder encoder(v.sampleRate, v.bitrate);
        const auto pcm = kelSamplesFromBytes(input); // the files are little-endian
        const intptr_t frames = encoder.write(pcm.data(), intptr_t(pcm.size() * 2));
        EXPECT_EQ(size_t(frames) * size_t(v.bitrate / 400), expected.size()) << v.name();
        const std::string ours = encoder.joined();
        const auto diff = std::mismatch(ours.begin(), ours.end(), expected.begin(), expected.end());
        EXPECT_TRUE(ours == expected)
            << v.name() << ": first difference in frame " << (diff.first - ours.begin()) / (v.bitrate / 400);
        ++checked;
    }
    EXPECT_EQ(checked, 18);
}

TEST(kelG7221VectorTest, DecoderReproducesEveryReferenceOutput)
{
    for (const auto& v : kelTestG7221Vectors()) {
        const std::string bits = kelTestG7221File(v.name() + ".bit");
        ASSERT_FALSE(bits.empty()) << v.name();
        ASSERT_EQ(kelTestSha256(bits.data(), bits.size()), kelTestG7221Digest(v.name() + ".bit")) << v.name();
        const std::string out = decodeFull(v, bits);
        EXPECT_EQ(out.size(), bits.size() / size_t(v.bitrate / 400) * size_t(v.sampleRate / 50) * 2);
        EXPECT_EQ(kelTestSha256(out.data(), out.size()), kelTestG7221Digest(v.name() + ".dec.raw"))
            << v.name();
    }
}

TEST(kelG7221VectorTest, LostFramesAreConcealedAsTheReferenceConceals)
{
    for (const kelTestG7221Vector v :
         {kelTestG7221Vector{"speech", 16000, 24000}, {"speech", 32000, 32000}}) {
        const std::string name = v.name() + "_fe.dec.raw";
        const auto lost = kelTestG7221Erasures(name);
        ASSERT_FALSE(lost.empty()) << name;
        const std::string out = decodeFull(v, kelTestG7221File(v.name() + ".bit"), lost);
        EXPECT_EQ(kelTestSha256(out.data(), out.size()), kelTestG7221Digest(name)) << name;
    }
}

// The coder delivers every frame, bad ones included (the random streams
// hold many), each as the full-precision output with two low bits cleared.
TEST(kelG7221VectorTest, DecoderDeliversEveryFrameWithTheTwoLowBitsCleared)
{
    for (const kelTestG7221Vector v :
         {kelTestG7221Vector{"random", 16000, 24000}, {"speech", 32000, 48000}}) {
        const std::string bits = kelTestG7221File(v.name() + ".bit");
        std::string expected = decodeFull(v, bits);
        for (size_t i = 0; i < expected.size(); i += 2)
            expected[i] = char(expected[i] & ~3); // little-endian: the low byte first
        kelTestG7221Decoder decoder(v.sampleRate, v.bitrate);
        EXPECT_EQ(decoder.write(bits.data(), intptr_t(bits.size())), 100) << v.name();
        EXPECT_EQ(decoder.f_numFrames, 100);
        EXPECT_TRUE(decoder.joined() == expected) << v.name();
        if (v.signal == std::string("random")) {
            EXPECT_GT(decoder.concealedFrames(), 0);
        } else {
            EXPECT_EQ(decoder.concealedFrames(), 0);
        }
    }
}

TEST(kelG7221ConfigTest, OnlyTheTwoSampleRatesAndBitratesInStepsOf800Configure)
{
    struct Case
    {
        int rate, bitrate, result, bits, words, controlBits;
    };
    const Case cases[] = {
        {16000, 24000, kelG7221OK, 480, 30, 4},
        {16000, 32000, kelG7221OK, 640, 40, 4},
        {16000, 8000, kelG7221OK, 160, 10, 4},
        {32000, 48000, kelG7221OK, 960, 60, 5},
        {32000, 24000, kelG7221OK, 480, 30, 5},
        {16000, 24100, kelG7221ErrorBitrate, 0, 0, 0},
        {16000, 7200, kelG7221ErrorBitrate, 0, 0, 0},
        {32000, 48800, kelG7221ErrorBitrate, 0, 0, 0},
        {8000, 24000, kelG7221ErrorSampleRate, 0, 0, 0},
        {22050, 24000, kelG7221ErrorSampleRate, 0, 0, 0},
        {48000, 48000, kelG7221ErrorSampleRate, 0, 0, 0},
        {0, 0, kelG7221ErrorSampleRate, 0, 0, 0},
    };
    for (const Case& c : cases) {
        kelG7221Encoder enc(c.rate, c.bitrate);
        kelG7221Decoder dec(c.rate, c.bitrate);
        for (kelG7221Coder* coder : {static_cast<kelG7221Coder*>(&enc), static_cast<kelG7221Coder*>(&dec)}) {
            EXPECT_EQ(coder->configureResult(), c.result) << c.rate << " " << c.bitrate;
            EXPECT_EQ(coder->isConfigured(), c.result == kelG7221OK);
            EXPECT_EQ(coder->open(), c.result == kelG7221OK);
            EXPECT_EQ(coder->f_number_of_bits_per_frame, c.bits);
            EXPECT_EQ(coder->f_number_of_16bit_words_per_frame, c.words);
            EXPECT_EQ(coder->num_rate_control_bits, c.controlBits);
            EXPECT_EQ(coder->num_rate_control_possibilities, c.controlBits ? 1 << c.controlBits : 0);
        }
        EXPECT_EQ(enc.unitSize(), c.result == kelG7221OK ? c.rate / 50 * 2 : 0);
        EXPECT_EQ(dec.unitSize(), c.words * 2);
    }
}

// An unconfigured coder says so and keeps nothing; configuring it later
// starts it afresh.
TEST(kelG7221ConfigTest, UnconfiguredCoderTakesNothing)
{
    kelTestG7221Encoder enc(8000, 24000);
    const std::vector<int16_t> pcm(2000, 1000);
    EXPECT_EQ(enc.write(pcm.data(), intptr_t(pcm.size() * 2)), kelG7221NotConfigured);
    EXPECT_EQ(enc.pendingBytes(), 0);
    kelTestG7221Decoder dec(16000, 24100);
    EXPECT_EQ(dec.write(pcm.data(), 61), kelG7221NotConfigured);
    EXPECT_EQ(dec.lostFrame(), kelG7221NotConfigured);
    EXPECT_EQ(dec.pendingBytes(), 0);
    EXPECT_TRUE(enc.frames.empty() && dec.frames.empty());

    EXPECT_EQ(enc.configure(16000, 24000), kelG7221OK);
    EXPECT_EQ(enc.write(pcm.data(), 700), 1);
    EXPECT_EQ(enc.pendingBytes(), 60);
    // A new mode drops what was pending for the old one.
    EXPECT_EQ(enc.configure(22050, 24000), kelG7221ErrorSampleRate);
    EXPECT_EQ(enc.pendingBytes(), 0);
}

TEST(kelG7221BufferTest, EncoderKeepsPartialUnitsAcrossWrites)
{
    const std::vector<int16_t> pcm(2000, 500);
    const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
    kelTestG7221Encoder enc(16000, 24000);
    EXPECT_EQ(enc.write(bytes, 500), 0);
    EXPECT_EQ(enc.pendingBytes(), 500);
    EXPECT_EQ(enc.write(bytes + 500, 140), 1);
    EXPECT_EQ(enc.pendingBytes(), 0);
    EXPECT_EQ(enc.write(bytes, 1500), 2);
    EXPECT_EQ(enc.pendingBytes(), 220);
    ASSERT_EQ(enc.frames.size(), 3u);
    for (const auto& f : enc.frames)
        EXPECT_EQ(f.size(), 60u);
    // Pieces of any size give the frames one write gives.
    kelTestG7221Encoder whole(16000, 24000), pieces(16000, 24000);
    whole.write(bytes, 3200);
    for (intptr_t pos = 0, step = 1; pos < 3200; pos += step, step = step * 3 % 701 + 1)
        pieces.write(bytes + pos, std::min<intptr_t>(step, 3200 - pos));
    EXPECT_EQ(whole.frames.size(), 5u);
    EXPECT_EQ(pieces.frames, whole.frames);
}

TEST(kelG7221BufferTest, DecoderDeliversOneFrameOfSamplesPerFrameOfBytes)
{
    for (const kelTestG7221Vector v :
         {kelTestG7221Vector{"speech", 16000, 24000}, {"speech", 32000, 48000}}) {
        const std::string bits = kelTestG7221File(v.name() + ".bit");
        const intptr_t frameBytes = v.bitrate / 400;
        kelTestG7221Decoder dec(v.sampleRate, v.bitrate);
        EXPECT_EQ(dec.write(bits.data(), frameBytes - 1), 0);
        EXPECT_EQ(dec.write(bits.data() + frameBytes - 1, frameBytes + 2), 2);
        EXPECT_EQ(dec.pendingBytes(), 1);
        ASSERT_EQ(dec.frames.size(), 2u);
        EXPECT_EQ(dec.frames[0].size(), size_t(v.sampleRate / 50 * 2));
    }
}

// A frame whose bits are inconsistent comes out concealed, as a lost frame
// would, and the stream keeps its length.
TEST(kelG7221ConcealTest, BadFrameIsConcealedNotDropped)
{
    const std::string bits = kelTestG7221File("speech_16k_24000.bit");
    ASSERT_GE(bits.size(), 60u * 40);
    std::string stream = bits.substr(0, 60 * 40);
    std::fill(stream.begin() + 60 * 30, stream.begin() + 60 * 31, '\0');
    kelTestG7221Decoder bad(16000, 24000), lost(16000, 24000);
    EXPECT_EQ(bad.write(stream.data(), intptr_t(stream.size())), 40);
    EXPECT_EQ(bad.concealedFrames(), 1);
    lost.write(stream.data(), 60 * 30);
    EXPECT_EQ(lost.lostFrame(), 1);
    ASSERT_EQ(lost.frames.size(), 31u);
    ASSERT_EQ(bad.frames.size(), 40u);
    for (size_t f = 0; f < 31; ++f)
        EXPECT_EQ(bad.frames[f], lost.frames[f]) << f;
    // The concealed frame carries on the speech rather than going quiet.
    const auto concealed = kelSamplesFromBytes(bad.frames[30]);
    EXPECT_GT(*std::max_element(concealed.begin(), concealed.end()), 500);
}

// The encoder folds its input with plain 32-bit sums, which is exact only
// while every pair of analysis window values that meet sums below 32767.
TEST(kelG7221TableTest, AnalysisWindowPairsLeaveRoomForPlainSums)
{
    const auto check = [](const int16_t* w, int n) {
        int peak = 0;
        for (int i = 0; i < n / 2; ++i) {
            peak = std::max(peak, w[n / 2 - 1 - i] + w[n / 2 + i]);
            peak = std::max(peak, w[n - 1 - i] + w[i]);
        }
        return 2LL * peak * 32768 + 0x8000 <= INT32_MAX;
    };
    EXPECT_TRUE(check(kelG7221_samples_to_rmlt_window, 320));
    EXPECT_TRUE(check(kelG7221_max_samples_to_rmlt_window, 640));
}
