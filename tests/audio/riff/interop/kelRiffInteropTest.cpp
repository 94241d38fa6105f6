// kelRiffStream against sox and ffmpeg: files they write read back sample
// for sample as `sox file -t raw -` (or ffmpeg, for its float files)
// decodes them, and files we write are
// taken by `soxi` and ffmpeg with the same samples. Skipped with a message
// when a tool is missing.

#include "audio/kelRIFF.h"
#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Everything a passive reader delivers, and the chunk count.
std::string readAll(const std::string& name, intptr_t& status, uintptr_t& chunkSize)
{
    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, false));
    status = stream ? stream->status() : -100;
    chunkSize = stream ? stream->chunkSize() : 0;
    if (status != kelRiffReading || stream->passiveOpen() != 0) return {};
    std::string out, chunk(chunkSize, '\0');
    while (stream->readData(chunk.data(), chunk.size()) == chunkSize)
        out += chunk;
    return out;
}

// Our samples must equal the tool's; what follows them is the silence that
// fills the last chunk.
void expectSameSamples(const std::string& ours, const std::string& reference, uintptr_t chunkSize,
                       char silence = '\0')
{
    ASSERT_FALSE(reference.empty());
    ASSERT_GE(ours.size(), reference.size());
    EXPECT_LT(ours.size() - reference.size(), chunkSize);
    EXPECT_TRUE(ours.compare(0, reference.size(), reference) == 0) << "samples differ";
    EXPECT_EQ(ours.substr(reference.size()), std::string(ours.size() - reference.size(), silence));
}

struct ToolCase
{
    const char* name;
    unsigned rate, bits, channels;
    const char* encoding; // sox's -e, or ffmpeg's codec
};

class RiffInterop : public ::testing::Test
{
protected:
    kelTempDir dir;
};

} // namespace

TEST_F(RiffInterop, FilesSoxWritesReadBackSampleForSample)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    const ToolCase cases[] = {
        {"u8 mono", 8000, 8, 1, "unsigned-integer"},    {"s16 stereo", 44100, 16, 2, "signed-integer"},
        {"s24 mono", 22050, 24, 1, "signed-integer"},   {"s32 stereo", 48000, 32, 2, "signed-integer"},
        {"f32 stereo", 48000, 32, 2, "floating-point"}, {"s16 six", 48000, 16, 6, "signed-integer"},
        {"s24 eight", 96000, 24, 8, "signed-integer"},  {"f32 four", 16000, 32, 4, "floating-point"},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = dir.file("sox.wav");
        ASSERT_TRUE(kelTestSoxWave(name, c.rate, c.bits, c.channels, c.encoding, 0.3));
        const auto reference = kelTestSoxRaw(name);
        ASSERT_TRUE(reference);
        intptr_t status = 0;
        uintptr_t chunk = 0;
        const std::string ours = readAll(name, status, chunk);
        ASSERT_EQ(status, kelRiffReading);
        EXPECT_EQ(chunk % (c.bits / 8 * c.channels), 0u);
        expectSameSamples(ours, *reference, chunk, c.bits == 8 ? '\x80' : '\0');
    }
}

TEST_F(RiffInterop, FilesFfmpegWritesReadBackSampleForSample)
{
    if (!kelTestHaveFfmpeg() || !kelTestHaveSox()) GTEST_SKIP() << "ffmpeg or sox is not installed";
    const ToolCase cases[] = {
        {"s16 mono with INFO", 8000, 16, 1, "pcm_s16le"}, {"u8 stereo", 11025, 8, 2, "pcm_u8"},
        {"s24 six", 48000, 24, 6, "pcm_s24le"},           {"s32 eight", 44100, 32, 8, "pcm_s32le"},
        {"f32 stereo", 32000, 32, 2, "pcm_f32le"},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = dir.file("ff.wav");
        ASSERT_TRUE(kelTestFfmpegWave(name, c.rate, c.encoding, c.channels, 0.3, "-metadata title=kel"));
        // sox passes float samples through its 25-bit integers, so ffmpeg's
        // own decoding is the reference there; the integer ones must agree
        // with sox too.
        const auto reference = kelTestFfmpegRaw(name, c.encoding);
        ASSERT_TRUE(reference);
        if (std::string(c.encoding) != "pcm_f32le") {
            EXPECT_EQ(kelTestSoxRaw(name).value_or("(failed)"), *reference);
        }
        intptr_t status = 0;
        uintptr_t chunk = 0;
        const std::string ours = readAll(name, status, chunk);
        ASSERT_EQ(status, kelRiffReading);
        expectSameSamples(ours, *reference, chunk, c.bits == 8 ? '\x80' : '\0');
    }
}

TEST_F(RiffInterop, InfoListsBeforeAndAfterTheFormatAreWalkedOver)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    const std::string plain = dir.file("plain.wav");
    ASSERT_TRUE(kelTestSoxWave(plain, 44100, 16, 2, "signed-integer", 0.2));
    const std::string info = kelTestContainer(
        "LIST", "INFO", kelTestChunk("INAM", "a title, odd") + kelTestChunk("ICMT", "made for the test"));
    std::string image = kelTestInsertChunk(kelReadBytes(plain), "fmt ", info);
    image = kelTestInsertChunk(image, "data", info);
    image = kelTestInsertChunk(image, "none", info); // and one at the end
    const std::string name = dir.file("lists.wav");
    kelWriteBytes(name, image);
    const auto reference = kelTestSoxRaw(name);
    ASSERT_TRUE(reference) << "sox refuses the spliced file";
    EXPECT_EQ(*reference, *kelTestSoxRaw(plain));
    intptr_t status = 0;
    uintptr_t chunk = 0;
    const std::string ours = readAll(name, status, chunk);
    ASSERT_EQ(status, kelRiffReading);
    expectSameSamples(ours, *reference, chunk);
}

TEST_F(RiffInterop, FilesWeWriteAreTakenBySoxAndFfmpeg)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    struct Case
    {
        const char* name;
        unsigned rate, bits, channels;
        bool isFloat;
        const char* ffCodec;
        size_t bytes;
    } cases[] = {
        {"s16 mono", 8000, 16, 1, false, "pcm_s16le", 3200},
        {"u8 mono, odd", 22050, 8, 1, false, "pcm_u8", 2205},
        {"s24 stereo", 48000, 24, 2, false, "pcm_s24le", 6 * 1000},
        {"s16 six, extensible", 48000, 16, 6, false, "pcm_s16le", 12 * 700},
        {"f32 stereo", 44100, 32, 2, true, "pcm_f32le", 8 * 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelFormatBlock format;
        if (c.channels > 2 || c.isFloat)
            fillFormatExt(format, c.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM,
                          c.rate, uint16_t(c.bits), uint16_t(c.bits), uint16_t(c.channels),
                          kelChannelMaskDefault);
        else
            fillPCMFormat(format.resize(sizeof(WAVEFORMATEX)) ? format.format() : nullptr, c.rate,
                          uint16_t(c.bits), uint16_t(c.channels));
        // Float samples must be numbers sox leaves alone: small values.
        std::string samples;
        for (size_t i = 0; samples.size() < c.bytes; ++i) {
            if (c.isFloat) {
                const float v = float(int(i % 200) - 100) / 128.0f;
                samples.append(reinterpret_cast<const char*>(&v), 4);
            } else {
                samples.push_back(char(i * 7 + (i >> 8)));
            }
        }
        const std::string name = dir.file("ours.wav");
        {
            kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(name), format.format()));
            ASSERT_EQ(writer->status(), kelRiffWriting);
            ASSERT_EQ(writer->open(), 0u);
            for (size_t at = 0; at < samples.size(); at += 1000) {
                const size_t n = std::min<size_t>(1000, samples.size() - at);
                ASSERT_EQ(writer->write(samples.data() + at, n), n);
            }
            ASSERT_EQ(writer->close(), 0u);
        }
        EXPECT_EQ(kelTestProcess::runToEnd({"sox", "--i", name}, 20000), 0);
        EXPECT_EQ(kelTestSoxInfo(name, 'r'), std::to_string(c.rate));
        EXPECT_EQ(kelTestSoxInfo(name, 'c'), std::to_string(c.channels));
        EXPECT_EQ(kelTestSoxInfo(name, 'b'), std::to_string(c.bits));
        EXPECT_EQ(kelTestSoxInfo(name, 's'), std::to_string(c.bytes / (c.bits / 8 * c.channels)));
        EXPECT_EQ(kelTestSoxRaw(name).value_or("(failed)"), samples);
        if (kelTestHaveFfmpeg()) {
            EXPECT_EQ(kelTestFfmpegRaw(name, c.ffCodec).value_or("(failed)"), samples);
        }
    }
}
