// G.722.1 round trips at 16000 Hz on signals from independent tools: sox's
// tones and espeak-ng's speech, encoded and decoded by our coders and
// aligned with the input by cross-correlation. Each test skips when its
// tool is missing.
#include "codecs/kelG7221.h"

#include "tests/support/kelTestG7221.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

const char* const kRaw16k = "-t raw -r 16000 -e signed -b 16 -c 1";

std::optional<std::vector<int16_t>> soxTone(int frequency, const char* amplitude)
{
    const auto out = kelTestProcess::filter(std::string("sox -n ") + kRaw16k + " - synth 2 sine " +
                                                std::to_string(frequency) + " vol " + amplitude,
                                            "");
    if (!out) return std::nullopt;
    return kelSamplesFromBytes(*out);
}

std::optional<std::vector<int16_t>> espeakSpeech()
{
    const auto out = kelTestProcess::filter(
        // Braces: the filter's input redirection must not replace sox's pipe.
        std::string(
            "{ espeak-ng --stdout 'The quick brown fox jumps over the lazy dog, twice.' | sox -t wav - ") +
            kRaw16k + " -; }",
        "");
    if (!out) return std::nullopt;
    return kelSamplesFromBytes(*out);
}

std::vector<int16_t> roundTrip(const std::vector<int16_t>& in, int bitrate)
{
    kelTestG7221Encoder enc(16000, bitrate);
    kelTestG7221Decoder dec(16000, bitrate);
    enc.write(in.data(), intptr_t(in.size() * 2));
    const std::string frames = enc.joined();
    dec.write(frames.data(), intptr_t(frames.size()));
    return kelSamplesFromBytes(dec.joined());
}

// SNR of the round trip at `bitrate`, the output aligned within two frames
// (for a steady tone any whole number of periods aligns as well).
double roundTripSnr(const std::vector<int16_t>& in, int bitrate, bool expectOneFrameLag)
{
    const auto out = roundTrip(in, bitrate);
    const size_t lag = kelTestBestLag(in, out, 640);
    if (expectOneFrameLag) {
        EXPECT_EQ(lag, 320u) << "the decoder lags by one frame";
    }
    return kelTestSnrDb(in, out, lag, 320);
}

} // namespace

// A steady tone takes few bits: both rates code it about equally well.
TEST(kelG7221RoundTripTest, SoxToneKeepsItsShape)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const auto tone = soxTone(1000, "0.1"); // -20 dBFS
    ASSERT_TRUE(tone && tone->size() == 32000);
    for (int bitrate : {24000, 32000})
        EXPECT_GE(roundTripSnr(*tone, bitrate, false), 15.0) << bitrate;
}

TEST(kelG7221RoundTripTest, EspeakSpeechKeepsItsShapeBetterAtTheHigherRate)
{
    if (!kelTestProcess::available("espeak-ng") || !kelTestProcess::available("sox"))
        GTEST_SKIP() << "espeak-ng or sox is not installed";
    const auto speech = espeakSpeech();
    ASSERT_TRUE(speech && speech->size() > 16000);
    const double snr24 = roundTripSnr(*speech, 24000, true), snr32 = roundTripSnr(*speech, 32000, true);
    EXPECT_GE(snr24, 6.0);
    EXPECT_GT(snr32, snr24);
}

// 7.5 kHz lies above the coded band (coefficients stop at 7 kHz).
TEST(kelG7221RoundTripTest, ToneAboveTheBandIsRemoved)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const auto tone = soxTone(7500, "0.5");
    ASSERT_TRUE(tone);
    for (int bitrate : {24000, 32000})
        EXPECT_LE(kelTestLevelDb(*tone, roundTrip(*tone, bitrate), 640), -30.0) << bitrate;
}
