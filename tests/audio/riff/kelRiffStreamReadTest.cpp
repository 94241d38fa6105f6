// Reading WAV files with kelRiffStream in passive use: chunk sizes, data
// chunks in order, the end of the data, looping, positions, and files that
// are not (quite) WAV files.

#include "audio/kelRIFF.h"
#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

class RiffRead : public ::testing::Test
{
protected:
    // Writes `image` and opens a passive reader on it.
    kelOwned<kelRiffStream> reader(const std::string& image, bool loop = false, bool open = true)
    {
        const std::string name = dir.file("f" + std::to_string(++files) + ".wav");
        kelWriteBytes(name, image);
        kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, loop));
        if (stream && open && stream->status() == kelRiffReading) {
            EXPECT_EQ(stream->passiveOpen(), 0u);
        }
        return stream;
    }

    // The next chunk as a string; empty when none came.
    static std::string next(kelRiffStream& stream)
    {
        std::string out(stream.chunkSize() + 16, '?');
        out.resize(stream.readData(out.data(), out.size()));
        return out;
    }

    kelTempDir dir;
    int files = 0;
};

const std::string kFmt44k16 = kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1));

} // namespace

TEST_F(RiffRead, ChunksFollowTheFormatAndTheDataComesInOrder)
{
    const std::string samples = kelTestRamp(3 * 1764, 7);
    auto stream = reader(kelTestWave(kFmt44k16 + kelTestChunk("data", samples)));
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->status(), kelRiffReading);
    EXPECT_EQ(stream->fileType(), kelRiffFileRiff);
    EXPECT_EQ(stream->chunkSize(), 1764u);
    EXPECT_EQ(stream->streamSize(), samples.size());
    ASSERT_NE(stream->dstFormatExt(), nullptr);
    EXPECT_EQ(stream->dstFormatExt()->Format.nSamplesPerSec, 44100u);
    // A short buffer gets the start of the chunk; the chunk is used up anyway.
    std::string part(100, '\0');
    EXPECT_EQ(stream->readData(part.data(), part.size()), 100u);
    EXPECT_EQ(part, samples.substr(0, 100));
    EXPECT_EQ(next(*stream), samples.substr(1764, 1764));
    EXPECT_EQ(stream->streamPosition(), 2u * 1764);
    EXPECT_EQ(next(*stream), samples.substr(2 * 1764));
    EXPECT_FALSE(stream->readingIsDone());
    // The data ended on a chunk boundary: no chunk of pure silence follows.
    EXPECT_EQ(next(*stream), "");
    EXPECT_TRUE(stream->readingIsDone());
}

TEST_F(RiffRead, TwoDataChunksAreReadInOrderAndLoopBackToTheFirst)
{
    // 1000 + 2528 bytes: the first chunk crosses from one data chunk into the next.
    const std::string a = kelTestRamp(1000, 1), b = kelTestRamp(2528, 101);
    const std::string image = kelTestWave(kFmt44k16 + kelTestChunk("data", a) + kelTestChunk("data", b));
    const std::string all = a + b;

    auto once = reader(image);
    EXPECT_EQ(once->streamSize(), all.size());
    EXPECT_EQ(next(*once), all.substr(0, 1764));
    EXPECT_EQ(next(*once), all.substr(1764));
    EXPECT_EQ(next(*once), "");

    auto looping = reader(image, true);
    std::string got;
    for (int i = 0; i < 6; ++i)
        got += next(*looping);
    EXPECT_EQ(got, all + all + all);
    EXPECT_FALSE(looping->readingIsDone());
}

TEST_F(RiffRead, HalfAChunkAtTheEndIsFilledWithSilence)
{
    const std::string samples = kelTestRamp(1764 + 882, 3);
    auto stream = reader(kelTestWave(kFmt44k16 + kelTestChunk("data", samples)));
    EXPECT_EQ(next(*stream), samples.substr(0, 1764));
    EXPECT_FALSE(stream->readingIsDone());
    EXPECT_EQ(next(*stream), samples.substr(1764) + std::string(882, '\0'));
    EXPECT_TRUE(stream->readingIsDone());
    EXPECT_EQ(next(*stream), "");

    // 8-bit samples are unsigned: their silence is 0x80.
    auto eight =
        reader(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) + kelTestChunk("data", "abcd")));
    EXPECT_EQ(eight->chunkSize(), 160u);
    EXPECT_EQ(next(*eight), "abcd" + std::string(156, '\x80'));
}

TEST_F(RiffRead, ChunksAroundTheFormatAreWalkedOver)
{
    const std::string info = kelTestContainer("LIST", "INFO", kelTestChunk("ISFT", "some tool"));
    const std::string samples = kelTestRamp(1764, 9);
    // LIST before "fmt ", a "fact" and an odd unknown chunk between it and the data.
    auto stream = reader(kelTestWave(info + kFmt44k16 + kelTestChunk("fact", kelTestLE(882, 4)) +
                                     kelTestChunk("junk", "odd") + kelTestChunk("data", samples) + info));
    ASSERT_EQ(stream->status(), kelRiffReading);
    EXPECT_EQ(stream->chunkSize(), 1764u);
    EXPECT_EQ(next(*stream), samples);
}

TEST_F(RiffRead, SixteenByteFmtHasNoCbSize)
{
    // The bytes after a 16-byte record ("da" of "data") are not its cbSize.
    auto stream =
        reader(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 16, 1)) + kelTestChunk("data", "xy")));
    ASSERT_EQ(stream->status(), kelRiffReading);
    kelFormatBlock plain;
    ASSERT_TRUE(
        formatExtToFormat(&stream->srcFormatExt()->Format, stream->srcFormatBlock().size(), plain, true));
    EXPECT_EQ(plain.format()->cbSize, 0);
    EXPECT_EQ(plain.format()->nSamplesPerSec, 8000u);

    // An 18-byte record with a cbSize past its chunk: the record is taken
    // with zeros, not with the bytes of the next chunk.
    auto longer = reader(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 16, 1) + kelTestLE(40, 2)) +
                                     kelTestChunk("data", "xy")));
    EXPECT_EQ(longer->status(), kelRiffReading);
    EXPECT_EQ(longer->chunkSize(), 320u);
}

TEST_F(RiffRead, FilesThatCannotBeReadSayWhyAndRefuseToOpen)
{
    struct Case
    {
        const char* what;
        std::string image;
        intptr_t status;
    } cases[] = {
        {"text", std::string(200, 't'), kelRiffNotRiff},
        {"RIFF without fmt", kelTestWave(kelTestChunk("data", kelTestRamp(400))), kelRiffNotRiff},
        {"fmt shorter than 16",
         kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 16, 1).substr(0, 14)) +
                     kelTestChunk("data", kelTestRamp(400))),
         kelRiffNotRiff},
        {"IMA ADPCM",
         kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 4, 1, true, 0x11)) +
                     kelTestChunk("data", kelTestRamp(400))),
         kelRiffNoAcm},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto stream = reader(c.image, false, false);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->status(), c.status);
        EXPECT_EQ(stream->passiveOpen(), MMSYSERR_INVALPARAM);
        EXPECT_EQ(stream->open(false, 3000, 0, false), MMSYSERR_INVALPARAM);
        EXPECT_FALSE(stream->isOpen());
        char buf[64];
        EXPECT_EQ(stream->readData(buf, sizeof buf), 0u);
    }
    kelOwned<kelRiffStream> missing(kelRiffStream::create(u"/nonexistent/kel.wav", false, false));
    EXPECT_EQ(missing->status(), kelRiffNotRiff);
}

TEST_F(RiffRead, TruncatedAndOddEndsDeliverTheirBytes)
{
    // A data chunk that claims far more than the file holds.
    const std::string samples = kelTestRamp(2000, 5);
    auto cut = reader(kelTestWave(kFmt44k16 + kelTestChunk("data", samples, true, 100000)));
    EXPECT_EQ(cut->streamSize(), 2000u);
    EXPECT_EQ(next(*cut), samples.substr(0, 1764));
    EXPECT_EQ(next(*cut), samples.substr(1764) + std::string(1764 - 236, '\0'));
    EXPECT_TRUE(cut->readingIsDone());

    // A final data chunk of three bytes without its pad byte (11 bytes in all).
    auto tiny =
        reader(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) + kelTestChunk("data", "", false) +
                           kelTestChunk("data", "\x01\x02\x03", false)));
    EXPECT_EQ(next(*tiny), "\x01\x02\x03" + std::string(157, '\x80'));
}

TEST_F(RiffRead, StreamPositionMovesByWholeChunksAndStopsAtTheEnd)
{
    // 22050 Hz 8-bit mono: 441-byte chunks.
    const std::string samples = kelTestRamp(3000, 11);
    auto stream =
        reader(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(22050, 8, 1)) + kelTestChunk("data", samples)));
    ASSERT_EQ(stream->chunkSize(), 441u);
    stream->setStreamPosition(1000);
    EXPECT_EQ(stream->streamPosition(), 882u);
    EXPECT_EQ(stream->getPosition(), 882u);
    EXPECT_EQ(next(*stream), samples.substr(882, 441));
    EXPECT_EQ(stream->streamPosition(), 882u + 441);

    stream->setStreamPosition(1u << 30);
    EXPECT_EQ(stream->streamPosition(), samples.size());
    EXPECT_EQ(next(*stream), "");
    EXPECT_TRUE(stream->readingIsDone());

    // A new passive open starts from the beginning again.
    EXPECT_EQ(stream->passiveOpen(), 0u);
    EXPECT_EQ(next(*stream), samples.substr(0, 441));
}

TEST_F(RiffRead, LoopingOverDataChunksWithoutBytesEnds)
{
    const std::string empty = kelTestChunk("data", "");
    auto stream = reader(kelTestWave(kFmt44k16 + empty + empty + empty), true);
    EXPECT_EQ(next(*stream), "");
    EXPECT_TRUE(stream->readingIsDone());
    // And a loop whose only bytes are in the middle keeps going.
    auto some =
        reader(kelTestWave(kFmt44k16 + empty + kelTestChunk("data", kelTestRamp(1764)) + empty), true);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(next(*some), kelTestRamp(1764));
}

TEST_F(RiffRead, FilesPastFourGigabytesAreReadAt64BitPositions)
{
    const std::string name = dir.file("big.wav");
    const std::string head = kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1))).substr(0, 36);
    const uint32_t dataSize = 0xFFFFFF00u;
    const std::string header =
        "RIFF" + kelTestLE(dataSize + 36, 4) + head.substr(8) + "data" + kelTestLE(dataSize, 4);
    const int64_t markAt = int64_t(dataSize) - 160; // the last chunk of the data
    const int fd = ::open(name.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const bool made = ::pwrite(fd, header.data(), header.size(), 0) == ssize_t(header.size()) &&
                      ::ftruncate(fd, off_t(header.size()) + dataSize) == 0 &&
                      ::pwrite(fd, "MARK", 4, off_t(header.size()) + markAt) == 4;
    ::close(fd);
    if (!made) GTEST_SKIP() << "cannot make a sparse 4 GiB file here";

    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, false));
    ASSERT_EQ(stream->status(), kelRiffReading);
    EXPECT_EQ(stream->streamSize(), dataSize);
    ASSERT_EQ(stream->passiveOpen(), 0u);
    stream->setStreamPosition(uintptr_t(markAt));
    EXPECT_EQ(stream->streamPosition(), uintptr_t(markAt));
    std::string chunk(160, '\0');
    ASSERT_EQ(stream->readData(chunk.data(), chunk.size()), 160u);
    EXPECT_EQ(chunk.substr(0, 4), "MARK");
    EXPECT_EQ(next(*stream), "");
    EXPECT_TRUE(stream->readingIsDone());
}
