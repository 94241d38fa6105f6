// The coders against independent tools: sox (G.711 expansion, IMA ADPCM WAV
// files, GSM in raw frames and in WAV files) and libgsm's toast. Each test
// skips when its tool is missing.
#include "codecs/kelADPCM.h"
#include "codecs/kelG711.h"
#include "codecs/kelGSM.h"

#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestGSM.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

const char* const kRaw16 = "-t raw -r 8000 -e signed -b 16 -c 1";

// The body of the first chunk named `id` of a RIFF file, empty when none.
std::string riffChunk(const std::string& file, const char* id)
{
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t size = uint8_t(file[pos + 4]) | (uint8_t(file[pos + 5]) << 8) |
                              (uint8_t(file[pos + 6]) << 16) | (uint32_t(uint8_t(file[pos + 7])) << 24);
        if (file.compare(pos, 4, id) == 0) return file.substr(pos + 8, size);
        pos += 8 + size + (size & 1);
    }
    return {};
}

std::string decodeWithOurGSM(const std::string& frames, bool wav49)
{
    kelTestGSMDecoder dec(wav49);
    dec.write(frames.data(), intptr_t(frames.size()));
    return dec.joined();
}

std::string encodeWithOurGSM(const std::string& pcm, bool wav49)
{
    kelTestGSMEncoder enc(wav49);
    enc.write(pcm.data(), intptr_t(pcm.size()));
    return enc.joined();
}

} // namespace

TEST(kelCodecsInteropTest, SoxExpandsEveryG711CodeAsWeDo)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    std::string codes(256, '\0');
    for (int i = 0; i < 256; ++i)
        codes[size_t(i)] = char(i);
    for (const char* law : {"al", "ul"}) {
        const auto out =
            kelTestProcess::filter(std::string("sox -t ") + law + " -r 8000 -c 1 - " + kRaw16 + " -", codes);
        ASSERT_TRUE(out) << law;
        std::vector<int16_t> ours(256);
        (law[0] == 'a' ? alawExpand : ulawExpand)(256, reinterpret_cast<const uint8_t*>(codes.data()),
                                                  ours.data());
        EXPECT_EQ(kelSamplesFromBytes(*out), ours) << law;
    }
}

// sox's IMA ADPCM WAV blocks (mono: a 4-byte header with the first sample,
// then codes two per byte, low nibble first) decode sample for sample as sox
// decodes them.
TEST(kelCodecsInteropTest, SoxImaAdpcmWavFilesDecodeSampleExact)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const std::string pcm = kelBytesFromSamples(kelSpeechLikeSignal(12000));
    const auto wav = kelTestProcess::filter(std::string("sox ") + kRaw16 + " - -t wav -e ima-adpcm -", pcm);
    ASSERT_TRUE(wav);
    const std::string fmt = riffChunk(*wav, "fmt ");
    const std::string data = riffChunk(*wav, "data");
    ASSERT_GE(fmt.size(), 16u);
    ASSERT_EQ(uint8_t(fmt[0]) | (uint8_t(fmt[1]) << 8), 0x11); // IMA ADPCM
    const size_t blockAlign = uint8_t(fmt[12]) | (uint8_t(fmt[13]) << 8);
    ASSERT_GT(blockAlign, 4u);
    ASSERT_FALSE(data.empty());

    const auto reference = kelTestProcess::filter(std::string("sox -t wav - ") + kRaw16 + " -", *wav);
    ASSERT_TRUE(reference);
    const auto want = kelSamplesFromBytes(*reference);

    kelADPCM_decoder dec(adpcm_IMA4);
    std::vector<int16_t> got;
    for (size_t pos = 0; pos + blockAlign <= data.size(); pos += blockAlign) {
        const int16_t* samples = nullptr;
        const size_t bytes =
            dec.decode(reinterpret_cast<const uint8_t*>(data.data()) + pos, blockAlign, samples);
        ASSERT_EQ(bytes, 2 * (1 + 2 * (blockAlign - 4)));
        got.insert(got.end(), samples, samples + bytes / 2);
    }
    ASSERT_GE(want.size(), 11000u);
    // The last block may be partial; sox stops at the file's sample count.
    ASSERT_GE(got.size() + 2 * blockAlign, want.size());
    const size_t n = std::min(got.size(), want.size());
    EXPECT_EQ(std::vector<int16_t>(got.begin(), got.begin() + long(n)),
              std::vector<int16_t>(want.begin(), want.begin() + long(n)));
}

TEST(kelCodecsInteropTest, GsmFramesEqualToastForTheSameInput)
{
    if (!kelTestProcess::available("toast")) GTEST_SKIP() << "toast (libgsm-tools) is not installed";
    const std::string pcm = kelBytesFromSamples(kelSpeechLikeSignal(16000));
    const auto toast = kelTestProcess::filter("toast -l -c", pcm);
    ASSERT_TRUE(toast);
    ASSERT_EQ(toast->size(), 100u * 33);
    EXPECT_EQ(encodeWithOurGSM(pcm, false), *toast);
}

TEST(kelCodecsInteropTest, SoxReadsOurPlainGsmFramesToOurSamples)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const std::string frames = encodeWithOurGSM(kelBytesFromSamples(kelSpeechLikeSignal(8000)), false);
    const auto out =
        kelTestProcess::filter(std::string("sox -t gsm -r 8000 -c 1 - ") + kRaw16 + " -", frames);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, decodeWithOurGSM(frames, false));
}

TEST(kelCodecsInteropTest, SoxReadsOurWav49FilesToOurSamples)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const std::string units = encodeWithOurGSM(kelBytesFromSamples(kelSpeechLikeSignal(8000)), true);
    ASSERT_EQ(units.size(), 25u * 65);
    const auto out =
        kelTestProcess::filter(std::string("sox -t wav - ") + kRaw16 + " -", kelTestGSMWavFile(units));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 8000u * 2);
    EXPECT_EQ(*out, decodeWithOurGSM(units, true));
}
