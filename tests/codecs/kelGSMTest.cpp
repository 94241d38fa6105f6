#include "codecs/kelGSM.h"

#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestGSM.h"

#include <gtest/gtest.h>

#include <gsm.h>

#include <cstring>

namespace {

// Frames of the same input from libgsm called directly, one state.
std::string libgsmFrames(const std::vector<int16_t>& samples, bool wav49)
{
    gsm g = gsm_create();
    int value = wav49 ? 1 : 0;
    gsm_option(g, GSM_OPT_WAV49, &value);
    std::string out;
    std::vector<int16_t> copy = samples;
    const size_t frames = samples.size() / 160 / (wav49 ? 2 : 1) * (wav49 ? 2 : 1);
    for (size_t f = 0; f < frames; ++f) {
        gsm_byte frame[33];
        gsm_encode(g, copy.data() + 160 * f, frame);
        // In WAV49 the second frame of a pair shares its first byte with the
        // first frame's last.
        if (wav49 && f % 2 == 1) {
            out.back() = char(frame[0]);
            out.append(reinterpret_cast<const char*>(frame + 1), 32);
        } else {
            out.append(reinterpret_cast<const char*>(frame), 33);
        }
    }
    gsm_destroy(g);
    return out;
}

} // namespace

TEST(kelGSMTest, EncoderKeepsAPartialFrameUntilMoreInputCompletesIt)
{
    const auto signal = kelBytesFromSamples(kelSpeechLikeSignal(320));
    kelTestGSMEncoder enc(false);
    EXPECT_EQ(enc.frameSizeIn(), 320);
    EXPECT_EQ(enc.frameSizeOut(), 33);
    EXPECT_EQ(enc.write(signal.data(), 500), 320);
    ASSERT_EQ(enc.units.size(), 1u);
    EXPECT_EQ(enc.units[0].size(), 33u);
    EXPECT_EQ(enc.pendingBytes(), 180);
    EXPECT_EQ(enc.write(signal.data() + 500, 140), 320);
    ASSERT_EQ(enc.units.size(), 2u);
    EXPECT_EQ(enc.pendingBytes(), 0);
    EXPECT_EQ(enc.joined(), libgsmFrames(kelSpeechLikeSignal(320), false));
    EXPECT_FALSE(enc.otherSender);
}

TEST(kelGSMTest, Wav49EncoderTurns640BytesIntoOne65ByteUnit)
{
    const auto samples = kelSpeechLikeSignal(320);
    const auto signal = kelBytesFromSamples(samples);
    kelTestGSMEncoder enc(true);
    EXPECT_EQ(enc.getOpt(kelGSM_optWav49), 1);
    EXPECT_EQ(enc.write(signal.data(), 640), 640);
    ASSERT_EQ(enc.units.size(), 1u);
    EXPECT_EQ(enc.units[0], libgsmFrames(samples, true));
}

TEST(kelGSMTest, Wav49DecoderDeliversTwoFramesPerUnit)
{
    const auto samples = kelSpeechLikeSignal(640);
    kelTestGSMEncoder enc(true);
    const auto signal = kelBytesFromSamples(samples);
    enc.write(signal.data(), intptr_t(signal.size()));
    ASSERT_EQ(enc.units.size(), 2u);
    kelTestGSMDecoder dec(true);
    EXPECT_EQ(dec.frameSizeIn(), 65);
    EXPECT_EQ(dec.write(enc.units[0].data(), 65), 65);
    ASSERT_EQ(dec.units.size(), 2u);
    EXPECT_EQ(dec.units[0].size(), 320u);
    EXPECT_EQ(dec.units[1].size(), 320u);

    // The same samples as libgsm decoding the frames itself.
    gsm g = gsm_create();
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    std::string unit = enc.units[0];
    gsm_signal ref[320];
    ASSERT_EQ(gsm_decode(g, reinterpret_cast<gsm_byte*>(unit.data()), ref), 0);
    ASSERT_EQ(gsm_decode(g, reinterpret_cast<gsm_byte*>(unit.data()) + 33, ref + 160), 0);
    gsm_destroy(g);
    EXPECT_EQ(dec.joined(), kelBytesFromSamples(ref, 320));
}

// However the input is cut, the frames are those of one write of it all.
TEST(kelGSMTest, InputCutAnywhereCodesToTheSameFrames)
{
    const auto samples = kelSpeechLikeSignal(8000);
    const auto signal = kelBytesFromSamples(samples);
    for (bool wav49 : {false, true}) {
        kelTestGSMEncoder enc(wav49);
        uint32_t seed = 99;
        size_t pos = 0;
        intptr_t processed = 0;
        while (pos < signal.size()) {
            seed = seed * 1103515245u + 12345u;
            const size_t piece = std::min<size_t>(signal.size() - pos, 1 + (seed >> 16) % 900);
            processed += enc.write(signal.data() + pos, intptr_t(piece));
            pos += piece;
        }
        const std::string expected = libgsmFrames(samples, wav49);
        EXPECT_EQ(enc.joined(), expected) << "WAV49 " << wav49;
        EXPECT_EQ(processed + enc.pendingBytes(), intptr_t(signal.size()));

        // And back: the frames cut anywhere decode to what whole frames give.
        kelTestGSMDecoder whole(wav49), cut(wav49);
        whole.write(expected.data(), intptr_t(expected.size()));
        for (size_t p = 0; p < expected.size(); p += 7)
            cut.write(expected.data() + p, intptr_t(std::min<size_t>(7, expected.size() - p)));
        EXPECT_EQ(cut.joined(), whole.joined());
        EXPECT_EQ(whole.joined().size(),
                  expected.size() / size_t(whole.frameSizeIn()) * size_t(whole.frameSizeOut()));
    }
}

TEST(kelGSMTest, OddLengthInputIsKeptNotOverrun)
{
    const auto signal = kelBytesFromSamples(kelSpeechLikeSignal(400));
    kelTestGSMEncoder enc(false);
    EXPECT_EQ(enc.write(signal.data(), 321), 320);
    EXPECT_EQ(enc.pendingBytes(), 1);
    EXPECT_EQ(enc.write(signal.data() + 321, 318), 0);
    EXPECT_EQ(enc.pendingBytes(), 319);
    EXPECT_EQ(enc.write(signal.data() + 639, 1), 320);
    EXPECT_EQ(enc.units.size(), 2u);
    EXPECT_EQ(enc.write(nullptr, 100), 0);
    EXPECT_EQ(enc.write(signal.data(), 0), 0);
}

TEST(kelGSMTest, FrameThatIsNotGSMDecodesToSilence)
{
    kelTestGSMDecoder dec(false);
    const std::string junk(33, '\x11'); // a GSM frame starts with the nibble 0xD
    EXPECT_EQ(dec.write(junk.data(), 33), 33);
    ASSERT_EQ(dec.units.size(), 1u);
    EXPECT_EQ(dec.units[0], std::string(320, '\0'));
}

TEST(kelGSMTest, OptionsSwitchTheUnitsAndKeepPendingBytes)
{
    const auto samples = kelSpeechLikeSignal(640);
    const auto signal = kelBytesFromSamples(samples);
    kelTestGSMEncoder enc(false);
    EXPECT_EQ(enc.getOpt(kelGSM_optWav49), 0);
    EXPECT_EQ(enc.getOpt(1), -1);
    EXPECT_EQ(enc.write(signal.data(), 300), 0);
    enc.setOpt(kelGSM_optWav49, 1);
    EXPECT_EQ(enc.getOpt(kelGSM_optWav49), 1);
    EXPECT_EQ(enc.frameSizeIn(), 640);
    EXPECT_EQ(enc.frameSizeOut(), 65);
    EXPECT_EQ(enc.pendingBytes(), 300);
    EXPECT_EQ(enc.write(signal.data() + 300, 340), 640);
    ASSERT_EQ(enc.units.size(), 1u);
    EXPECT_EQ(enc.units[0], libgsmFrames({samples.begin(), samples.begin() + 320}, true));
}

TEST(kelGSMTest, ExceptionFromTheHookStaysInsideTheCoder)
{
    const auto signal = kelBytesFromSamples(kelSpeechLikeSignal(480));
    kelTestGSMEncoder enc(false);
    enc.throwFromHook = true;
    EXPECT_EQ(enc.write(signal.data(), intptr_t(signal.size())), 960);
    EXPECT_EQ(enc.units.size(), 3u);
}
