#include "core/kelFileStream.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestPattern.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

kelString u16(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

std::string readText(kelAbstractStream& s, intptr_t size, bool remove = true)
{
    std::string out(size_t(size), '\0');
    out.resize(size_t(s.read(out.data(), size, remove)));
    return out;
}

class kelFileStreamTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    kelTempDir dir;
};

} // namespace

TEST_F(kelFileStreamTest, CreatesMissingFileAndReadsBackWhatWasWritten)
{
    const std::string name = dir.file("new.bin");
    kelFileStream s(u16(name));
    ASSERT_TRUE(s.isValid());
    EXPECT_EQ(s.getSize(), 0);
    EXPECT_EQ(s.write("hello world", 11), 11);
    EXPECT_EQ(s.getSize(), 11);
    EXPECT_TRUE(s.dataEvent().isSignaled());
    EXPECT_EQ(kelReadBytes(name), "hello world");
    EXPECT_EQ(s.seek(6), 6);
    EXPECT_EQ(s.getAvailableSize(), 5);
    EXPECT_EQ(readText(s, 100), "world");
    EXPECT_EQ(s.fileOffset(), 11u);

    // Opening it again keeps the content; read-only, writes report nothing.
    kelFileStream ro(u16(name), O_RDONLY);
    EXPECT_EQ(ro.getSize(), 11);
    EXPECT_EQ(ro.write("x", 1), 0);
    EXPECT_EQ(readText(ro, 5), "hello");
}

TEST_F(kelFileStreamTest, LoopingReadRepeatsTheFile)
{
    const std::string name = dir.file("loop.bin");
    kelWriteBytes(name, "0123456789");
    kelFileStream s(u16(name), O_RDONLY, 0, true);
    EXPECT_EQ(readText(s, 25), "0123456789012345678901234");
    EXPECT_EQ(s.getPosition(), 5);
    EXPECT_EQ(s.getAvailableSize(), 10);
    EXPECT_EQ(readText(s, 7), "5678901");
}

TEST_F(kelFileStreamTest, LoopingReadOfEmptyFileReturnsNothing)
{
    kelFileStream s(u16(dir.file("empty.bin")), O_RDWR, 0, true);
    ASSERT_TRUE(s.isValid());
    char buf[16];
    EXPECT_EQ(s.read(buf, sizeof buf), 0);
    EXPECT_EQ(s.read(buf, sizeof buf, false), 0);
}

TEST_F(kelFileStreamTest, PeekKeepsThePositionAlsoAfterWrappingRound)
{
    const std::string name = dir.file("peek.bin");
    kelWriteBytes(name, "0123456789");
    kelFileStream s(u16(name), O_RDONLY, 0, true);
    EXPECT_EQ(s.seek(7), 7);
    EXPECT_EQ(readText(s, 15, false), "789012345678901");
    EXPECT_EQ(s.getPosition(), 7);
    EXPECT_EQ(readText(s, 5), "78901");

    kelFileStream plain(u16(name), O_RDONLY);
    EXPECT_EQ(readText(plain, 4, false), "0123");
    EXPECT_EQ(plain.getPosition(), 0);
}

TEST_F(kelFileStreamTest, SeekRules)
{
    const std::string name = dir.file("seek.bin");
    kelWriteBytes(name, "0123456789");
    kelFileStream s(u16(name));
    EXPECT_EQ(s.seek(3, false), 7);
    EXPECT_EQ(s.fileOffset(), 7u);
    EXPECT_EQ(readText(s, 2), "78");
    EXPECT_EQ(s.seekD(-4), 5);
    EXPECT_EQ(s.seekD(-100), 0);
    EXPECT_EQ(s.seekD(3), 3);
    EXPECT_EQ(s.seek(-5), 0);
}

TEST_F(kelFileStreamTest, PositionsBeyondFourGigabytes)
{
    // A sparse file: only the last bytes take space.
    const std::string name = dir.file("big.bin");
    const intptr_t far = (intptr_t(1) << 32) + 12345;
    kelFileStream s(u16(name));
    ASSERT_TRUE(s.isValid());
    ASSERT_EQ(s.seek(far), far);
    ASSERT_EQ(s.write("tail", 4), 4);
    EXPECT_EQ(s.getSize(), far + 4);
    EXPECT_EQ(s.seek(4, false), far);
    EXPECT_EQ(readText(s, 10), "tail");
    EXPECT_EQ(s.seekD(-2), far + 2);
}

TEST_F(kelFileStreamTest, ClearTruncatesTheFile)
{
    const std::string name = dir.file("clear.bin");
    kelFileStream s(u16(name));
    s.write("abcdef", 6);
    s.clear();
    EXPECT_EQ(s.getSize(), 0);
    EXPECT_EQ(s.getPosition(), 0);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    EXPECT_EQ(kelReadBytes(name), "");
}
