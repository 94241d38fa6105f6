#include "core/kelMemoryStream.h"

#include "core/kelCrc.h"
#include "tests/support/kelTestAllocCounter.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestPattern.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

KEL_TEST_COUNT_ALLOCATIONS()

namespace {

intptr_t writeText(kelMemoryStream& s, const std::string& text)
{
    return s.write(text.data(), intptr_t(text.size()));
}

std::string readText(kelMemoryStream& s, intptr_t size, bool remove = true)
{
    std::string out(size_t(size), '\0');
    out.resize(size_t(s.read(out.data(), size, remove)));
    return out;
}

kelString u16(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

} // namespace

TEST(kelMemoryStreamTest, PartialReadAcrossChunksRecyclesEmptiedChunk)
{
    kelMemoryStream s;
    const std::string data = kelTestPattern(600);
    ASSERT_EQ(s.write(data.data(), 100), 100);
    ASSERT_EQ(s.write(data.data() + 100, 200), 200);
    ASSERT_EQ(s.write(data.data() + 300, 300), 300);

    EXPECT_EQ(readText(s, 250), data.substr(0, 250));
    EXPECT_EQ(s.getSize(), 350);
    EXPECT_EQ(s.chunkCount(), 2);
    EXPECT_EQ(s.cachedChunkCount(), 1);
    EXPECT_EQ(s.firstChunkSize(), 50);

    // The cached 100-byte chunk takes the next 100-byte write.
    ASSERT_EQ(s.write(data.data(), 100), 100);
    EXPECT_EQ(s.cachedChunkCount(), 0);
    EXPECT_EQ(readText(s, 1000), data.substr(250, 350) + data.substr(0, 100));
    EXPECT_TRUE(s.isEmpty());
}

TEST(kelMemoryStreamTest, PeekLeavesDataAndEvent)
{
    kelMemoryStream s;
    writeText(s, "hello");
    writeText(s, " world");
    EXPECT_EQ(readText(s, 8, false), "hello wo");
    EXPECT_EQ(s.getSize(), 11);
    EXPECT_TRUE(s.dataEvent().isSignaled());
    EXPECT_EQ(readText(s, 11), "hello world");
}

TEST(kelMemoryStreamTest, ReadThatEmptiesResetsEventAndWaitTimesOut)
{
    kelMemoryStream s;
    writeText(s, "abc");
    EXPECT_TRUE(s.waitForData(0));
    EXPECT_EQ(s.remove(2), 2);
    EXPECT_TRUE(s.dataEvent().isSignaled());
    EXPECT_EQ(s.remove(5), 1);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    EXPECT_FALSE(s.waitForData(50));
    writeText(s, "d");
    EXPECT_TRUE(s.waitForData(50));
}

TEST(kelMemoryStreamTest, MaxSizeRefusesWriteReachingTheLimit)
{
    kelMemoryStream s;
    s.setMaxSize(1000);
    const std::string block = kelTestPattern(900);
    ASSERT_EQ(s.write(block.data(), 900), 900);
    EXPECT_EQ(s.write(block.data(), 100), 0);
    EXPECT_EQ(s.getSize(), 900);
    EXPECT_EQ(s.write(block.data(), 99), 99);
    EXPECT_EQ(s.write(block.data(), 1), 0);
    // A size that would overflow the sum is refused, not wrapped.
    EXPECT_EQ(s.write(block.data(), INTPTR_MAX), 0);
}

TEST(kelMemoryStreamTest, RefusesAbsentBufferAndEmptyWrite)
{
    kelMemoryStream s;
    EXPECT_EQ(s.write(nullptr, 10), 0);
    EXPECT_EQ(s.write("x", 0), 0);
    EXPECT_EQ(s.write("x", -3), 0);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    char c = 0;
    EXPECT_EQ(s.read(&c, 1), 0);
    EXPECT_EQ(s.read(&c, -1), 0);
}

TEST(kelMemoryStreamTest, FullCacheKeepsTheLargerBuffers)
{
    kelMemoryStream s;
    s.setMaxCacheSize(2);
    const std::string data = kelTestPattern(60);
    for (intptr_t size : {10, 30, 20})
        ASSERT_EQ(s.write(data.data(), size), size);
    EXPECT_EQ(s.remove(60), 60);
    ASSERT_EQ(s.cachedChunkCount(), 2);

    // Cache holds the 30- and 20-byte buffers; the 10-byte one was dropped
    // when the 20-byte chunk came back. A 25-byte write takes the 30 one, a
    // 15-byte write the 20 one, then a new chunk is made.
    ASSERT_EQ(s.write(data.data(), 25), 25);
    ASSERT_EQ(s.write(data.data(), 15), 15);
    EXPECT_EQ(s.cachedChunkCount(), 0);
    ASSERT_EQ(s.enter(true), true);
    EXPECT_EQ(s.firstChunk()->bufSize(), 30);
    s.leaveRO();
    EXPECT_EQ(s.firstChunkRemove(), 25);
    EXPECT_EQ(s.firstChunk()->bufSize(), 20);
}

TEST(kelMemoryStreamTest, WriteTakesLastCachedChunkWhenNoneIsLargeEnough)
{
    kelMemoryStream s;
    const std::string data = kelTestPattern(300);
    ASSERT_EQ(s.write(data.data(), 10), 10);
    ASSERT_EQ(s.write(data.data(), 20), 20);
    EXPECT_EQ(s.remove(30), 30);
    ASSERT_EQ(s.cachedChunkCount(), 2);
    ASSERT_EQ(s.write(data.data(), 300), 300);
    EXPECT_EQ(s.cachedChunkCount(), 1);
    EXPECT_EQ(readText(s, 300), data);
}

TEST(kelMemoryStreamTest, SteadyStreamingDoesNotAllocate)
{
    kelMemoryStream s;
    // 20 ms blocks of 16-bit stereo at 48 kHz and a little less, as a device
    // with a drifting clock delivers them, read in other sizes.
    const std::vector<intptr_t> writes = {3840, 3836, 3840, 3844, 3840};
    const std::string data = kelTestPattern(8000);
    std::string out(8000, '\0');
    auto cycle = [&](int rounds) {
        for (int r = 0; r < rounds; ++r) {
            for (intptr_t size : writes)
                ASSERT_EQ(s.write(data.data(), size), size);
            while (s.getSize() > 0)
                ASSERT_GT(s.read(out.data(), 2500, true), 0);
        }
    };
    cycle(3);
    const uint64_t before = kelTestAllocations();
    cycle(200);
    EXPECT_EQ(kelTestAllocations() - before, 0u);
}

TEST(kelMemoryStreamTest, CompressChunksJoinsTheDataIntoTheFirstChunk)
{
    kelMemoryStream s;
    const std::string data = kelTestPattern(1000);
    for (intptr_t at = 0; at < 1000; at += 100)
        ASSERT_EQ(s.write(data.data() + at, 100), 100);
    EXPECT_EQ(s.remove(30), 30);
    EXPECT_EQ(s.compressChunks(), 970);
    EXPECT_EQ(s.chunkCount(), 1);
    EXPECT_EQ(s.cachedChunkCount(), 9);
    EXPECT_EQ(s.getSize(), 970);
    ASSERT_TRUE(s.enter(true));
    const kelStreamChunk* first = s.firstChunk();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->data()), 970), data.substr(30));
    s.leaveRO();
    EXPECT_EQ(readText(s, 2000), data.substr(30));
}

TEST(kelMemoryStreamTest, ClearDropsEverythingAndResetsEvent)
{
    kelMemoryStream s;
    writeText(s, "abc");
    writeText(s, "def");
    s.remove(3);
    s.clear();
    EXPECT_EQ(s.getSize(), 0);
    EXPECT_EQ(s.chunkCount(), 0);
    EXPECT_EQ(s.cachedChunkCount(), 0);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    EXPECT_EQ(s.firstChunk(), nullptr);
    EXPECT_EQ(s.firstChunkSize(), 0);
}

TEST(kelMemoryStreamTest, IsNotSeekable)
{
    kelMemoryStream s;
    writeText(s, "abcdef");
    EXPECT_EQ(s.seek(3), 0);
    EXPECT_EQ(s.seekD(2), 0);
    EXPECT_EQ(s.getPosition(), 0);
    EXPECT_EQ(s.getAvailableSize(), 6);
    EXPECT_TRUE(s.isValid());
}

TEST(kelMemoryStreamTest, TypedValuesRoundTripWhole)
{
    kelMemoryStream s;
    EXPECT_TRUE(s.write(true));
    EXPECT_TRUE(s.write(uint8_t(0xA5)));
    EXPECT_TRUE(s.write(int16_t(-2)));
    EXPECT_TRUE(s.write(intptr_t(-123456789012)));
    EXPECT_EQ(s.write("text"), 4);
    EXPECT_EQ(s.getSize(), 1 + 1 + 2 + 8 + 4);

    bool b = false;
    uint8_t u8 = 0;
    int16_t i16 = 0;
    intptr_t ip = 0;
    std::string text;
    EXPECT_TRUE(s.read(b));
    EXPECT_TRUE(s.read(u8));
    EXPECT_TRUE(s.read(i16, false));
    EXPECT_TRUE(s.read(i16));
    EXPECT_TRUE(s.read(ip));
    EXPECT_TRUE(b);
    EXPECT_EQ(u8, 0xA5);
    EXPECT_EQ(i16, -2);
    EXPECT_EQ(ip, -123456789012);
    // Too few bytes for a value: nothing is taken.
    EXPECT_FALSE(s.read(ip));
    EXPECT_EQ(s.getSize(), 4);
    EXPECT_EQ(s.read(text, 10), 4);
    EXPECT_EQ(text, "text");
}

TEST(kelMemoryStreamTest, ReadFromMovesOnlyWhatTheTargetAccepts)
{
    kelMemoryStream source;
    kelMemoryStream target;
    const std::string data = kelTestPattern(300000);
    ASSERT_EQ(source.write(data.data(), intptr_t(data.size())), intptr_t(data.size()));
    target.setMaxSize(200001);
    EXPECT_EQ(target.readFrom(source), 196608); // three whole 64 KiB steps fit, the fourth is refused
    EXPECT_EQ(source.getSize(), 300000 - 196608);
    EXPECT_EQ(readText(target, 300000), data.substr(0, 196608));
    target.setMaxSize(0);
    EXPECT_EQ(source.writeTo(target, 1000), 1000);
    EXPECT_EQ(readText(target, 2000), data.substr(196608, 1000));
    EXPECT_EQ(target.readFrom(target), 0);
}

TEST(kelMemoryStreamTest, CopyStreamAndCrcLeaveTheSourceAlone)
{
    kelMemoryStream source;
    kelMemoryStream copy;
    writeText(source, "1234");
    writeText(source, "56789");
    EXPECT_EQ(source.getCrc32(), libCrc32("123456789", 9));
    EXPECT_EQ(copy.copyStream(source, 6), 6);
    EXPECT_EQ(copy.copyStream(source), 9);
    EXPECT_EQ(source.getSize(), 9);
    EXPECT_EQ(readText(copy, 100), "123456123456789");
    EXPECT_EQ(copy.getCrc32(0x1234), 0x1234u);
}

TEST(kelMemoryStreamTest, FileRoundTrip)
{
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelMemoryStream s;
    const std::string data = kelTestPattern(200000);
    ASSERT_EQ(s.write(data.data(), intptr_t(data.size())), intptr_t(data.size()));
    EXPECT_EQ(s.writeTo(u16(dir.file("a.bin"))), intptr_t(data.size()));
    EXPECT_EQ(s.writeTo(u16(dir.file("a.bin")), true), intptr_t(data.size()));
    EXPECT_EQ(kelReadBytes(dir.file("a.bin")), data + data);
    EXPECT_EQ(s.writeTo(u16(dir.file("missing/a.bin"))), -1);

    kelMemoryStream back;
    EXPECT_EQ(back.readFrom(u16(dir.file("a.bin"))), intptr_t(2 * data.size()));
    EXPECT_EQ(readText(back, 400000), data + data);
    EXPECT_EQ(back.readFrom(u16(dir.file("none"))), 0);
}

TEST(kelMemoryStreamTest, StreamClassMakesTheStreamItNames)
{
    const kelStreamClass make = kelStreamClassOf<kelMemoryStream>();
    kelAbstractStream* s = make(250);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->lockTimeout(), 250);
    EXPECT_EQ(s->_classID(), u"kelMemoryStream");
    delete s;
}
