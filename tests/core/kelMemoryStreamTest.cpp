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

TEST(kelMemoryStreamTest, DataEventFollowsTheContent)
{
    kelMemoryStream s;
    EXPECT_EQ(s.write(nullptr, 10), 0);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    writeText(s, "hello");
    writeText(s, " world");
    // Peeking leaves data and event alone.
    EXPECT_EQ(readText(s, 8, false), "hello wo");
    EXPECT_EQ(s.getSize(), 11);
    EXPECT_TRUE(s.dataEvent().isSignaled());
    EXPECT_EQ(s.remove(10), 10);
    EXPECT_TRUE(s.dataEvent().isSignaled());
    EXPECT_EQ(s.remove(5), 1);
    EXPECT_FALSE(s.dataEvent().isSignaled());
    EXPECT_FALSE(s.waitForData(50));
    writeText(s, "d");
    EXPECT_TRUE(s.waitForData(50));
    s.clear();
    EXPECT_EQ(s.getSize(), 0);
    EXPECT_EQ(s.firstChunkSize(), 0);
    EXPECT_FALSE(s.dataEvent().isSignaled());
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
    // 15-byte write the 20 one.
    ASSERT_EQ(s.write(data.data(), 25), 25);
    ASSERT_EQ(s.write(data.data(), 15), 15);
    EXPECT_EQ(s.cachedChunkCount(), 0);
    ASSERT_EQ(s.enter(true), true);
    EXPECT_EQ(s.firstChunk()->bufSize(), 30);
    s.leaveRO();
    EXPECT_EQ(s.firstChunkRemove(), 25);
    EXPECT_EQ(s.firstChunkRemove(), 15);
    // None cached is large enough: the last one (the 20) is taken and grows.
    ASSERT_EQ(s.write(data.data(), 50), 50);
    EXPECT_EQ(s.cachedChunkCount(), 1);
    EXPECT_EQ(readText(s, 60), data.substr(0, 50));
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

TEST(kelMemoryStreamTest, TypedValuesAreTakenWholeOrNotAtAll)
{
    kelMemoryStream s;
    EXPECT_TRUE(s.write(true));
    EXPECT_TRUE(s.write(intptr_t(-123456789012)));
    EXPECT_EQ(s.write("text"), 4);
    bool b = false;
    intptr_t ip = 0;
    std::string text;
    EXPECT_TRUE(s.read(b));
    EXPECT_TRUE(s.read(ip));
    EXPECT_TRUE(b);
    EXPECT_EQ(ip, -123456789012);
    EXPECT_FALSE(s.read(ip)); // four bytes left: nothing is taken
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

TEST(kelMemoryStreamTest, CopyCrcAndFileWritesLeaveTheSourceAlone)
{
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    kelMemoryStream source;
    kelMemoryStream copy;
    writeText(source, "1234");
    writeText(source, "56789");
    EXPECT_EQ(source.getCrc32(), libCrc32("123456789", 9));
    EXPECT_EQ(copy.copyStream(source, 6), 6);
    EXPECT_EQ(copy.copyStream(source), 9);
    EXPECT_EQ(source.writeTo(u16(dir.file("a.bin"))), 9);
    EXPECT_EQ(source.writeTo(u16(dir.file("a.bin")), true), 9);
    EXPECT_EQ(source.writeTo(u16(dir.file("missing/a.bin"))), -1);
    EXPECT_EQ(source.getSize(), 9);
    EXPECT_EQ(readText(copy, 100), "123456123456789");
    EXPECT_EQ(copy.readFrom(u16(dir.file("a.bin"))), 18);
    EXPECT_EQ(readText(copy, 100), "123456789123456789");
}
