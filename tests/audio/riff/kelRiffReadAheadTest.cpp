// Reading data chunks through the read-ahead block: the same bytes as
// reading the chunk directly, whatever the piece sizes, offsets and chunks,
// a file shrunk while it is read ends where the file ends, and a reader
// opened again reads the file anew.

#include "audio/kelRIFF.h"
#include "audio/kelRiffReadAhead.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestPattern.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Reads `piece` bytes at a time from `offset` until the data ends.
std::string readInPieces(kelRiffReadAhead& ahead, const kelRIFFChunk* chunk, int64_t offset, intptr_t piece)
{
    std::string out;
    std::string buf(size_t(piece), '\0');
    for (;;) {
        const intptr_t got = ahead.read(chunk, offset + int64_t(out.size()), buf.data(), piece);
        out.append(buf.data(), size_t(std::max<intptr_t>(got, 0)));
        if (got < piece) return out;
    }
}

// 16 bytes (fewer at the end) from `offset`.
std::string readSome(kelRiffReadAhead& ahead, const kelRIFFChunk* chunk, int64_t offset)
{
    std::string buf(16, '\0');
    buf.resize(size_t(std::max<intptr_t>(ahead.read(chunk, offset, buf.data(), 16), 0)));
    return buf;
}

} // namespace

TEST(kelRiffReadAhead, PiecesOfAnySizeGiveTheChunksBytes)
{
    // Two data chunks, so that block boundaries, block-sized reads and a
    // change of chunk all come up.
    const intptr_t block = kelRiffReadAhead::kBlockBytes;
    const std::string first = kelTestPattern(size_t(3 * block + 1234), 3);
    const std::string second = kelTestPattern(5000, 1000000);
    const std::string image = kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(48000, 16, 2)) +
                                          kelTestChunk("data", first) + kelTestChunk("data", second));
    kelRIFile file(image.data(), image.size());
    ASSERT_TRUE(file.isValid());
    kelRIFFChunk* a = file.rootChunk()->getSubChunk(1);
    kelRIFFChunk* b = file.rootChunk()->getSubChunk(2);
    ASSERT_TRUE(a && b && a->isID("data") && b->isID("data"));

    struct Case
    {
        int64_t offset;
        intptr_t piece;
    };
    for (const Case c : std::vector<Case>{{0, 1},
                                          {0, 3840},
                                          {7, 3840},
                                          {0, block - 1},
                                          {1, block},
                                          {100, block + 1},
                                          {block - 2, 4},
                                          {int64_t(first.size()) - 10, 3840},
                                          {int64_t(first.size()), 16},
                                          {int64_t(first.size()) + 99, 16}}) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " piece " << c.piece);
        kelRiffReadAhead ahead;
        const std::string expected = c.offset < int64_t(first.size()) ? first.substr(size_t(c.offset)) : "";
        EXPECT_EQ(readInPieces(ahead, a, c.offset, c.piece), expected);
        // The other chunk through the same block, and back again while the
        // block holds the other's bytes at the same offsets.
        EXPECT_EQ(readInPieces(ahead, b, 0, c.piece), second);
        EXPECT_EQ(readSome(ahead, b, 0), second.substr(0, 16));
        EXPECT_EQ(readSome(ahead, a, 0), first.substr(0, 16));
    }
}

TEST(kelRiffReadAhead, AFileShrunkWhileReadEndsWhereTheFileEnds)
{
    kelTempDir dir;
    const std::string name = dir.file("shrink.wav");
    const std::string samples = kelTestPattern(size_t(4 * kelRiffReadAhead::kBlockBytes), 1);
    const std::string image =
        kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(48000, 16, 2)) + kelTestChunk("data", samples));
    kelWriteBytes(name, image);
    kelRIFile file(utf8ToUtf16(name));
    ASSERT_TRUE(file.isValid());
    const kelRIFFChunk* data = file.rootChunk()->getSubChunk(1);
    ASSERT_TRUE(data && data->isID("data"));

    kelRiffReadAhead ahead;
    std::string piece(3840, '\0');
    ASSERT_EQ(ahead.read(data, 0, piece.data(), 3840), 3840);
    EXPECT_EQ(piece, samples.substr(0, 3840));
    // The file loses all but its first 100 000 bytes of data.
    const int64_t dataStart = data->offset64() + 8;
    ASSERT_EQ(::truncate(name.c_str(), off_t(dataStart + 100000)), 0);
    const std::string rest = readInPieces(ahead, data, 3840, 3840);
    EXPECT_EQ(rest, samples.substr(3840, 100000 - 3840));
    // Cleared, the block is read again from what the file holds now.
    ahead.clear();
    EXPECT_EQ(ahead.read(data, 0, piece.data(), 3840), 3840);
    EXPECT_EQ(ahead.read(data, 100000, piece.data(), 3840), 0);
}

TEST(kelRiffReadAhead, AReaderOpenedAgainReadsWhatTheFileHoldsThen)
{
    kelTempDir dir;
    const std::string name = dir.file("rewritten.wav");
    const std::string fmt = kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1));
    kelWriteBytes(name, kelTestWave(fmt + kelTestChunk("data", kelTestPattern(20000, 0))));
    kelOwned<kelRiffStream> stream(kelRiffStream::create(utf8ToUtf16(name), false, false));
    ASSERT_EQ(stream->passiveOpen(), 0u);
    std::string chunk(1764, '\0');
    ASSERT_EQ(stream->readData(chunk.data(), chunk.size()), 1764u);
    EXPECT_EQ(chunk, kelTestPattern(1764, 0));

    // The samples change in place (same size, so the chunk tree still fits).
    const std::string changed = kelTestPattern(20000, 777);
    kelWriteBytes(name, kelTestWave(fmt + kelTestChunk("data", changed)));
    ASSERT_EQ(stream->passiveOpen(), 0u);
    ASSERT_EQ(stream->readData(chunk.data(), chunk.size()), 1764u);
    EXPECT_EQ(chunk, changed.substr(0, 1764));
}
