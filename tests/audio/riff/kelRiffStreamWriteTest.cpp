// Writing WAV files with kelRiffStream: the header's bytes, which record
// goes into "fmt ", the sizes fixed up on close, and the refusals.

#include "audio/kelRIFF.h"
#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <string>

namespace {

WAVEFORMATEX pcm(uint32_t rate, uint16_t bits, uint16_t channels)
{
    WAVEFORMATEX f{};
    fillPCMFormat(&f, rate, bits, channels);
    return f;
}

// The "fmt " body and the data of a file this device wrote (which puts
// "fmt " first and "data" right after it).
struct Written
{
    std::string file, fmt, data;
    uint32_t riffSize = 0, dataSize = 0;
};

Written parse(const std::string& name)
{
    Written w;
    w.file = kelReadBytes(name);
    if (w.file.size() < 20) return w;
    w.riffSize = kelTestReadLE32(w.file, 4);
    const uint32_t fmtSize = kelTestReadLE32(w.file, 16);
    w.fmt = w.file.substr(20, fmtSize);
    const size_t data = 20 + fmtSize + (fmtSize & 1);
    if (w.file.compare(data, 4, "data") != 0) return w;
    w.dataSize = kelTestReadLE32(w.file, data + 4);
    w.data = w.file.substr(data + 8, w.dataSize);
    return w;
}

// Writes `chunks` through an opened writer of `format` into `name`.
void writeFile(const std::string& name, const WAVEFORMATEX* format, const std::vector<std::string>& chunks)
{
    kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(name), format));
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->status(), kelRiffWriting);
    ASSERT_EQ(writer->open(), 0u);
    for (const std::string& c : chunks)
        EXPECT_EQ(writer->write(c.data(), c.size()), c.size());
    EXPECT_EQ(writer->close(), 0u);
}

class RiffWrite : public ::testing::Test
{
protected:
    kelTempDir dir;
};

class TestWriter : public kelRiffStream
{
public:
    using kelRiffStream::kelRiffStream;
    void pretendWritten(uintptr_t bytes) { f_streamSize.store(bytes); }
};

} // namespace

TEST_F(RiffWrite, PlainPcmGetsASixteenByteFmtAndTrueSizes)
{
    const std::string name = dir.file("mono.wav");
    const WAVEFORMATEX format = pcm(8000, 16, 1);
    kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(name), &format));
    ASSERT_EQ(writer->status(), kelRiffWriting);
    EXPECT_EQ(writer->chunkSize(), 320u);
    ASSERT_EQ(writer->open(), 0u);
    const std::string samples = kelTestRamp(1000, 1) + kelTestRamp(1000, 2) + kelTestRamp(1000, 3);
    for (size_t at = 0; at < samples.size(); at += 1000)
        EXPECT_EQ(writer->write(samples.data() + at, 1000), 1000u);
    EXPECT_EQ(writer->getPosition(), 3000u);
    EXPECT_EQ(writer->streamSize(), 3000u);
    ASSERT_EQ(writer->close(), 0u);

    const Written w = parse(name);
    EXPECT_EQ(w.file.substr(0, 4), "RIFF");
    EXPECT_EQ(w.file.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(w.fmt, kelTestFmtPCM(8000, 16, 1));
    EXPECT_EQ(w.riffSize, w.file.size() - 8);
    EXPECT_EQ(w.file.size(), 44u + 3000);
    EXPECT_EQ(w.dataSize, 3000u);
    EXPECT_EQ(w.data, samples);

    // What we wrote reads back the same.
    kelOwned<kelRiffStream> reader(kelRiffStream::create(utf8ToUtf16(name), false, false));
    ASSERT_EQ(reader->status(), kelRiffReading);
    ASSERT_EQ(reader->passiveOpen(), 0u);
    std::string back;
    for (std::string c(320, '\0'); reader->readData(c.data(), c.size()) == 320;)
        back += c;
    EXPECT_EQ(back.substr(0, 3000), samples);
}

TEST_F(RiffWrite, TheExtensibleRecordIsWrittenWhereThePlainOneWouldLoseSomething)
{
    struct Case
    {
        const char* what;
        kelFormatBlock format;
        uint16_t tag;
        uint32_t fmtSize;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, uint16_t tag, uint32_t fmtSize) -> kelFormatBlock& {
        cases.push_back({what, kelFormatBlock(), tag, fmtSize});
        return cases.back().format;
    };
    fillFormatExtPCM(add("stereo, plain mask", WAVE_FORMAT_PCM, 16), 44100, 16, 16, 2, 0x3);
    fillFormatExtPCM(add("six channels", WAVE_FORMAT_EXTENSIBLE, 40), 48000, 16, 16, 6, 0x60F);
    fillFormatExtPCM(add("stereo, back speakers", WAVE_FORMAT_EXTENSIBLE, 40), 48000, 16, 16, 2, 0x30);
    fillFormatExt(add("float stereo", WAVE_FORMAT_IEEE_FLOAT, 18), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 48000, 32,
                  32, 2, 0x3);
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = dir.file("x.wav");
        writeFile(name, c.format.format(), {kelTestRamp(400)});
        const Written w = parse(name);
        ASSERT_EQ(w.fmt.size(), c.fmtSize);
        EXPECT_EQ(uint16_t(uint8_t(w.fmt[0]) | uint8_t(w.fmt[1]) << 8), c.tag);
        if (c.tag == WAVE_FORMAT_EXTENSIBLE) {
            // The mask the source had.
            EXPECT_EQ(w.fmt.substr(20, 4),
                      std::string(reinterpret_cast<const char*>(c.format.data()) + 20, 4));
        }
        EXPECT_EQ(w.data, kelTestRamp(400));
        EXPECT_EQ(w.riffSize, w.file.size() - 8);
    }
}

TEST_F(RiffWrite, AnOddDataChunkGetsItsPadByte)
{
    const std::string name = dir.file("odd.wav");
    const WAVEFORMATEX format = pcm(8000, 8, 1);
    writeFile(name, &format, {"abc"});
    const Written w = parse(name);
    EXPECT_EQ(w.dataSize, 3u);
    EXPECT_EQ(w.file.size(), 44u + 4);
    EXPECT_EQ(w.file.back(), '\0');
    EXPECT_EQ(w.riffSize, w.file.size() - 8);
}

TEST_F(RiffWrite, AWriterFreedWithoutCloseStillFixesTheSizes)
{
    const std::string name = dir.file("passive.wav");
    const WAVEFORMATEX format = pcm(8000, 16, 1);
    {
        kelOwned<kelRiffStream> writer(kelRiffStream::createNew(utf8ToUtf16(name), &format));
        ASSERT_EQ(writer->passiveOpen(), 0u);
        EXPECT_EQ(writer->write("abcd", 4), 4u);
    }
    const Written w = parse(name);
    EXPECT_EQ(w.dataSize, 4u);
    EXPECT_EQ(w.data, "abcd");
    EXPECT_EQ(w.riffSize, w.file.size() - 8);
}

TEST_F(RiffWrite, RefusalsShowInTheStatus)
{
    const WAVEFORMATEX format = pcm(8000, 16, 1);
    kelOwned<kelRiffStream> noName(kelRiffStream::createNew(u"  ", &format));
    EXPECT_EQ(noName->status(), kelRiffWriteNoFileName);
    EXPECT_EQ(noName->open(), MMSYSERR_INVALPARAM);
    kelOwned<kelRiffStream> compressed(
        kelRiffStream::createNew(utf8ToUtf16(dir.file("c.wav")), &format, 0x11));
    EXPECT_EQ(compressed->status(), kelRiffWriteNoAcm);
    EXPECT_EQ(compressed->passiveOpen(), MMSYSERR_INVALPARAM);
    kelOwned<kelRiffStream> noFormat(kelRiffStream::createNew(utf8ToUtf16(dir.file("n.wav")), nullptr));
    EXPECT_EQ(noFormat->status(), kelRiffWriteCannotConvert);
    // A writer that was never opened takes nothing.
    kelOwned<kelRiffStream> closed(kelRiffStream::createNew(utf8ToUtf16(dir.file("d.wav")), &format));
    EXPECT_EQ(closed->write("abcd", 4), 0u);
}

TEST_F(RiffWrite, WritesThatWouldPassFourGigabytesAreRefused)
{
    const std::string name = dir.file("limit.wav");
    const WAVEFORMATEX format = pcm(8000, 16, 1);
    kelOwned<TestWriter> writer(kelCreate<TestWriter>(kelRiffStream::ForWriting{}, utf8ToUtf16(name), &format,
                                                      uintptr_t(WAVE_FORMAT_PCM), nullptr));
    ASSERT_EQ(writer->open(), 0u);
    // 44 header bytes + data may reach 0xFFFFFFFF + 8 bytes of file, no more.
    const uintptr_t room = uintptr_t(kelRiffStream::kMaxRiffFileSize - 44);
    writer->pretendWritten(room - 6);
    EXPECT_EQ(writer->write("abcd", 4), 4u);
    EXPECT_FALSE(writer->sizeLimitReached());
    EXPECT_EQ(writer->write("abcd", 4), 0u);
    EXPECT_TRUE(writer->sizeLimitReached());
    EXPECT_EQ(writer->streamSize(), room - 2);
    // An odd total needs its pad byte too.
    EXPECT_EQ(writer->write("a", 1), 1u);
    EXPECT_EQ(writer->streamSize(), room - 1);
    EXPECT_EQ(writer->write("a", 1), 0u);
}
