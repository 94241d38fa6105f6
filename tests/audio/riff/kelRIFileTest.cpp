// The RIFF chunk tree: containers, padding, and files whose size fields lie
// or whose last chunk is cut short.

#include "audio/kelRIFF.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

std::string id(const kelRIFFChunk* chunk)
{
    return chunk != nullptr && chunk->header() != nullptr
               ? std::string(reinterpret_cast<const char*>(chunk->header()), 4)
               : std::string();
}

std::string data(const kelRIFFChunk* chunk)
{
    std::string out(size_t(chunk->dataSize64()), '\0');
    out.resize(size_t(chunk->readBuf(0, out.data(), intptr_t(out.size()))));
    return out;
}

} // namespace

TEST(kelRIFile, TreeFollowsContainersAndPadsOddChunksToEvenOffsets)
{
    const std::string info =
        kelTestContainer("LIST", "INFO", kelTestChunk("INAM", "abc") + kelTestChunk("ICMT", "x"));
    const std::string image =
        kelTestWave(info + kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) + kelTestChunk("data", "hello"));
    kelRIFile file(image.data(), image.size());
    ASSERT_TRUE(file.isValid());
    kelRIFFChunk* root = file.rootChunk();
    EXPECT_TRUE(root->isContainer());
    EXPECT_TRUE(root->isForm("WAVE"));
    ASSERT_EQ(root->getSubChunkCount(), 3);
    kelRIFFChunk* list = root->getSubChunk(0);
    EXPECT_TRUE(list->isForm("INFO"));
    ASSERT_EQ(list->getSubChunkCount(), 2);
    EXPECT_EQ(data(list->getSubChunk(0)), "abc");
    // "abc" is padded, so ICMT starts on the even offset after the pad.
    EXPECT_EQ(list->getSubChunk(1)->offset64() - list->getSubChunk(0)->offset64(), 12);
    EXPECT_EQ(data(list->getSubChunk(1)), "x");
    EXPECT_EQ(id(root->getSubChunk(1)), "fmt ");
    EXPECT_EQ(root->getSubChunk(1)->getSubChunkCount(), 0);
    EXPECT_EQ(data(root->getSubChunk(2)), "hello");
    EXPECT_EQ(root->getSubChunk(3), nullptr);
    EXPECT_EQ(root->getSubChunk(-1), nullptr);
}

TEST(kelRIFile, ChunksThatRunPastTheEndHoldWhatIsThere)
{
    // A data chunk declaring 1000 bytes with 10 there, inside a RIFF
    // container that declares more than the file too.
    const std::string body = "WAVE" + kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) +
                             kelTestChunk("data", kelTestRamp(10), true, 1000);
    const std::string image = "RIFF" + kelTestLE(100000, 4) + body;
    kelRIFile file(image.data(), image.size());
    ASSERT_TRUE(file.isValid());
    ASSERT_EQ(file.rootChunk()->getSubChunkCount(), 2);
    kelRIFFChunk* chunk = file.rootChunk()->getSubChunk(1);
    EXPECT_EQ(chunk->headerSize(), 1000u);
    EXPECT_EQ(chunk->dataSize64(), 10);
    EXPECT_EQ(data(chunk), kelTestRamp(10));
    char buf[4];
    EXPECT_EQ(chunk->readBuf(8, buf, 4), 2);
    EXPECT_EQ(chunk->readBuf(10, buf, 4), 0);
}

TEST(kelRIFile, AShortFinalChunkWithoutItsPadByteKeepsItsBytes)
{
    // Three data bytes, odd, no pad, at the end: 11 bytes from the header on.
    const std::string image = kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) +
                                          kelTestChunk("data", "\x01\x02\x03", false));
    kelRIFile file(image.data(), image.size());
    ASSERT_EQ(file.rootChunk()->getSubChunkCount(), 2);
    kelRIFFChunk* chunk = file.rootChunk()->getSubChunk(1);
    EXPECT_TRUE(chunk->isID("data"));
    EXPECT_EQ(data(chunk), "\x01\x02\x03");
}

TEST(kelRIFile, SixteenByteFmtLoadsOnlyItsOwnBytes)
{
    const std::string image = kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(8000, 16, 1)) +
                                          kelTestChunk("data", std::string(64, 'd')));
    kelRIFile file(image.data(), image.size());
    kelRIFFChunk* fmt = file.rootChunk()->getSubChunk(0);
    ASSERT_NE(fmt->loadDataBuf(-1), nullptr);
    EXPECT_EQ(fmt->dataBufSize(), 16);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fmt->dataBuf()), 16), kelTestFmtPCM(8000, 16, 1));
    // An exact size the chunk cannot give loads nothing.
    EXPECT_EQ(fmt->loadDataBuf(18), nullptr);
    EXPECT_NE(fmt->loadDataBuf(16), nullptr);
    fmt->releaseDataBuf();
    EXPECT_EQ(fmt->dataBuf(), nullptr);
}

TEST(kelRIFile, DeeplyNestedListsDoNotExhaustTheStack)
{
    std::string inner = kelTestChunk("data", "zz");
    for (int i = 0; i < 5000; ++i)
        inner = kelTestContainer("LIST", "abcd", inner);
    const std::string image = kelTestWave(inner);
    kelRIFile file(image.data(), image.size());
    ASSERT_TRUE(file.isValid());
    int depth = 0;
    for (kelRIFFChunk* c = file.rootChunk(); c->getSubChunkCount() > 0; c = c->getSubChunk(0))
        ++depth;
    EXPECT_EQ(depth, kelRIFFChunk::kMaxDepth);
}

TEST(kelRIFile, FilesThatAreNotRiffHaveNoValidTree)
{
    const std::string text = "This is a plain text file and certainly no RIFF data.\n";
    kelRIFile memory(text.data(), text.size());
    EXPECT_FALSE(memory.isValid());
    kelRIFile tiny("RIFF", 4);
    EXPECT_FALSE(tiny.isValid());
    EXPECT_EQ(tiny.rootChunk(), nullptr);

    kelTempDir dir;
    kelWriteBytes(dir.file("t.txt"), text);
    kelRIFile onDisk(utf8ToUtf16(dir.file("t.txt")));
    EXPECT_FALSE(onDisk.isValid());
    kelRIFile missing(u"/nonexistent/kel/none.wav");
    EXPECT_FALSE(missing.isValid());
}

TEST(kelRIFile, MappedFilePastFourGigabytesReadsAt64BitOffsets)
{
    // A sparse file: the header at the start, a marker at 3 GiB + 5, and a
    // data chunk that declares the whole span. Reading there must not
    // wrap a 32-bit offset.
    kelTempDir dir;
    const std::string name = dir.file("big.wav");
    const int64_t markerAt = (int64_t{3} << 30) + 5;
    const std::string head = "RIFF" + kelTestLE(0xFFFFFFF0u, 4) + "WAVE" +
                             kelTestChunk("fmt ", kelTestFmtPCM(8000, 8, 1)) + "data" +
                             kelTestLE(0xFFFFFFC0u, 4);
    const int fd = ::open(name.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const bool made = ::pwrite(fd, head.data(), head.size(), 0) == ssize_t(head.size()) &&
                      ::pwrite(fd, "MARK", 4, markerAt) == 4;
    ::close(fd);
    if (!made) GTEST_SKIP() << "cannot make a sparse 3 GiB file here";

    kelRIFile file(utf8ToUtf16(name));
    ASSERT_TRUE(file.isValid());
    EXPECT_EQ(file.dataSize64(), markerAt + 4);
    kelRIFFChunk* chunk = file.rootChunk()->getSubChunk(1);
    ASSERT_TRUE(chunk != nullptr && chunk->isID("data"));
    EXPECT_EQ(chunk->dataSize64(), markerAt + 4 - int64_t(head.size()));
    char buf[8] = {};
    EXPECT_EQ(chunk->readBuf(markerAt - int64_t(head.size()), buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "MARK");
}
