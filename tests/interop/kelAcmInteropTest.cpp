// The built-in compression drivers against independent tools, on files in
// the test's temporary folder: GSM blocks as sox codes them, our IMA ADPCM
// WAV files as sox and ffmpeg decode them, the suggested records as sox
// writes them, and our layer 3 as ffprobe reads it. Each test skips when
// its tool is missing.
#include "codecs/kelAcmDrivers.h"

#include "tests/support/kelTestAcm.h"
#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

namespace {

// The body of the first top-level chunk named `id`, empty when none.
std::string chunkOf(const std::string& file, const char* id)
{
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t size = kelTestReadLE32(file, pos + 4);
        if (file.compare(pos, 4, id) == 0) return file.substr(pos + 8, size);
        pos += 8 + size + (size & 1);
    }
    return {};
}

// Where two byte strings first differ, -1 when they are equal (so that a
// failure names a position rather than printing kilobytes).
long firstDifference(const std::string& a, const std::string& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return long(i);
    return a.size() == b.size() ? -1 : long(n);
}

std::string bytesOf(const std::vector<uint8_t>& record)
{
    return std::string(record.begin(), record.end());
}

// The record a driver suggests for `pcm` with tag `tag`.
std::vector<uint8_t> suggested(const std::vector<uint8_t>& pcm, uint16_t tag)
{
    std::vector<uint8_t> record(64, 0);
    reinterpret_cast<WAVEFORMATEX*>(record.data())->wFormatTag = tag;
    if (acmFormatSuggest(nullptr, kelTestAcmWfx(pcm), reinterpret_cast<WAVEFORMATEX*>(record.data()), 64,
                         ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return {};
    record.resize(18 + kelTestAcmWfx(record)->cbSize);
    return record;
}

// A WAV file of compressed `data` with its "fmt " record and the samples
// it holds in "fact".
std::string compressedWave(const std::vector<uint8_t>& fmt, uint32_t samples, const std::string& data)
{
    return kelTestWave(kelTestChunk("fmt ", bytesOf(fmt)) + kelTestChunk("fact", kelTestLE(samples, 4)) +
                       kelTestChunk("data", data));
}

std::string pcmWave(uint32_t rate, uint16_t channels, const std::string& samples)
{
    return kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(rate, 16, channels)) +
                       kelTestChunk("data", samples));
}

// Interleaves `channels` copies of the speech signal, each its own level.
std::string signal(size_t frames, uint16_t channels)
{
    const auto mono = kelSpeechLikeSignal(frames);
    std::vector<int16_t> out;
    for (const int16_t s : mono)
        for (uint16_t c = 0; c < channels; ++c)
            out.push_back(int16_t(s / (c + 1)));
    return kelBytesFromSamples(out);
}

class kelAcmInteropTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelAcmRegisterBuiltInDrivers();
        ASSERT_FALSE(f_dir.path().empty());
    }
    kelTempDir f_dir;
};

} // namespace

TEST_F(kelAcmInteropTest, GsmBlocksEqualSoxWav49)
{
    if (!kelTestProcess::available("sox")) GTEST_SKIP() << "sox is not installed";
    const std::string pcm = signal(320 * 25, 1);
    kelWriteBytes(f_dir.file("in.wav"), pcmWave(8000, 1, pcm));
    ASSERT_EQ(std::system(("sox '" + f_dir.file("in.wav") + "' -r 8000 -c 1 -e gsm-full-rate '" +
                           f_dir.file("out.wav") + "' 2>/dev/null")
                              .c_str()),
              0);
    const std::string sox = kelReadBytes(f_dir.file("out.wav"));
    // sox writes one byte past the last block.
    const std::string soxBlocks = chunkOf(sox, "data").substr(0, 25 * 65);
    ASSERT_EQ(soxBlocks.size(), 25u * 65);

    const auto gsm = suggested(kelTestAcmPcm(8000, 16, 1), WAVE_FORMAT_GSM610);
    EXPECT_EQ(bytesOf(gsm), chunkOf(sox, "fmt ").substr(0, gsm.size()));
    kelTestAcmStream stream(kelTestAcmPcm(8000, 16, 1), gsm);
    ASSERT_EQ(stream.openResult(), 0u);
    EXPECT_EQ(firstDifference(stream.convertAll(pcm, 4000, 4096), soxBlocks), -1);
}

// Our IMA ADPCM WAV files, mono and stereo, decode in sox and ffmpeg sample
// for sample as our decoder decodes them; the mono record is sox's own.
TEST_F(kelAcmInteropTest, SoxAndFfmpegDecodeOurImaAsWeDo)
{
    const bool sox = kelTestProcess::available("sox");
    const bool ffmpeg = kelTestProcess::available("ffmpeg");
    if (!sox && !ffmpeg) GTEST_SKIP() << "neither sox nor ffmpeg is installed";
    for (const uint16_t channels : {uint16_t(1), uint16_t(2)}) {
        const uint32_t rate = channels == 1 ? 8000 : 22050;
        const auto pcmFormat = kelTestAcmPcm(rate, 16, channels);
        const auto ima = suggested(pcmFormat, WAVE_FORMAT_IMA_ADPCM);
        ASSERT_FALSE(ima.empty());
        const uint32_t blockSamples = uint32_t(ima[18] | (ima[19] << 8));

        kelTestAcmStream enc(pcmFormat, ima);
        const std::string blocks = enc.convertAll(signal(blockSamples * 6 + 100, channels), 5000, 1 << 16);
        const uint16_t blockAlign = kelTestAcmWfx(ima)->nBlockAlign;
        ASSERT_EQ(blocks.size(), 7u * blockAlign);
        kelTestAcmStream dec(ima, pcmFormat);
        const std::string ours = dec.convertAll(blocks, blockAlign, 1 << 16);
        ASSERT_EQ(ours.size(), 7u * blockSamples * 2 * channels);

        const std::string path = f_dir.file("ima" + std::to_string(channels) + ".wav");
        kelWriteBytes(path, compressedWave(ima, 7 * blockSamples, blocks));
        if (sox) {
            const auto decoded = kelTestProcess::filter("sox '" + path + "' -t raw -e signed -b 16 -", "");
            ASSERT_TRUE(decoded) << channels;
            EXPECT_EQ(firstDifference(*decoded, ours), -1) << "sox, channels " << channels;
        }
        if (ffmpeg) {
            const auto decoded = kelTestFfmpegRaw(path, "pcm_s16le");
            ASSERT_TRUE(decoded) << channels;
            EXPECT_EQ(firstDifference(*decoded, ours), -1) << "ffmpeg, channels " << channels;
        }
    }
    if (sox) {
        // The record sox writes for 8 kHz mono is the one suggested.
        kelWriteBytes(f_dir.file("in.wav"), pcmWave(8000, 1, signal(1000, 1)));
        ASSERT_EQ(std::system(("sox '" + f_dir.file("in.wav") + "' -e ima-adpcm '" + f_dir.file("sox.wav") +
                               "' 2>/dev/null")
                                  .c_str()),
                  0);
        EXPECT_EQ(chunkOf(kelReadBytes(f_dir.file("sox.wav")), "fmt "),
                  bytesOf(suggested(kelTestAcmPcm(8000, 16, 1), WAVE_FORMAT_IMA_ADPCM)));
    }
}

TEST_F(kelAcmInteropTest, FfprobeReadsOurLayer3AtTheInputRateAndChannels)
{
    if (!kelAcmMp3CanEncode()) GTEST_SKIP() << "libmp3lame.so.0 is not there";
    if (!kelTestProcess::available("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
    const struct
    {
        uint32_t rate;
        uint16_t channels;
    } cases[] = {{8000, 1}, {22050, 2}, {44100, 2}, {48000, 1}};
    for (const auto& c : cases) {
        const auto pcmFormat = kelTestAcmPcm(c.rate, 16, c.channels);
        const auto mp3 = suggested(pcmFormat, WAVE_FORMAT_MPEGLAYER3);
        ASSERT_FALSE(mp3.empty()) << c.rate;
        kelTestAcmStream enc(pcmFormat, mp3);
        ASSERT_EQ(enc.openResult(), 0u) << c.rate;
        const std::string frames = enc.convertAll(signal(c.rate, c.channels), 7777, 4096);
        ASSERT_FALSE(frames.empty()) << c.rate;
        const std::string path = f_dir.file("out" + std::to_string(c.rate) + ".mp3");
        kelWriteBytes(path, frames);
        const auto probe = kelTestProcess::filter(
            "ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 '" + path +
                "'",
            "");
        ASSERT_TRUE(probe) << c.rate;
        EXPECT_EQ(*probe, "mp3," + std::to_string(c.rate) + "," + std::to_string(c.channels) + "\n");
    }
}
