// kelRiffStream driven by its device thread: real-time reads paced by the
// timer under a manual clock (one chunk per tick, at the exact chunk rate),
// looping, the end of the stream, and non-real-time reads into the output
// stream.

#include "audio/kelMMTimer.h"
#include "audio/kelRIFF.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What a device delivered, chunk by chunk (filled on the device thread).
class Sink
{
public:
    void attach(kelRiffStream& stream)
    {
        stream.setOnDataAvailable([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
            std::lock_guard<std::mutex> guard(f_mutex);
            f_chunks.emplace_back(static_cast<const char*>(data), size);
        });
        stream.setOnStreamIsDone([this](kelRiffStream*) { ++f_done; });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks.size();
    }
    std::vector<std::string> chunks()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks;
    }
    int done() const { return f_done.load(); }

private:
    std::mutex f_mutex;
    std::vector<std::string> f_chunks;
    std::atomic<int> f_done{0};
};

class RiffThread : public ::testing::Test
{
protected:
    kelOwned<kelRiffStream> stream(const std::string& image, bool realTime, bool loop)
    {
        const std::string name = dir.file("f" + std::to_string(++files) + ".wav");
        kelWriteBytes(name, image);
        kelOwned<kelRiffStream> s(kelRiffStream::create(utf8ToUtf16(name), realTime, loop));
        if (s) {
            s->setClock(clock);
            sink.attach(*s);
        }
        return s;
    }

    kelTempDir dir;
    int files = 0;
    kelManualClock clock;
    Sink sink;
};

} // namespace

TEST_F(RiffThread, RealTimeReadsOneChunkPerTickAndLoops)
{
    // Ten distinct 1764-byte chunks of 44100 Hz 16-bit mono.
    std::string data;
    for (int i = 0; i < 10; ++i)
        data += std::string(1764, char('A' + i));
    auto s =
        stream(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1)) + kelTestChunk("data", data)),
               true, true);
    ASSERT_EQ(s->status(), kelRiffReading);
    ASSERT_NE(s->realTimer(), nullptr);
    EXPECT_EQ(s->realTimer()->ticksPerSecond(), 50u);
    ASSERT_EQ(s->open(), 0u);

    clock.advanceMs(100);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.count() >= 5; }));
    clock.advanceMs(1000);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.count() >= 55 && s->realTimerCount() == 0; }));
    EXPECT_EQ(sink.count(), 55u);
    const auto chunks = sink.chunks();
    for (size_t i = 0; i < chunks.size(); ++i)
        ASSERT_EQ(chunks[i], std::string(1764, char('A' + i % 10))) << "chunk " << i;
    EXPECT_FALSE(s->streamIsDone());
    EXPECT_EQ(sink.done(), 0);
    EXPECT_EQ(s->close(), 0u);
    EXPECT_FALSE(s->realTimer()->isRunning());
}

TEST_F(RiffThread, FortyNineChunksASecondStayFortyNine)
{
    // 11025 Hz 8-bit mono: 225-byte chunks, 49 a second (20.4 ms apart).
    auto s = stream(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(11025, 8, 1)) +
                                kelTestChunk("data", kelTestRamp(225 * 200))),
                    true, false);
    EXPECT_EQ(s->chunkSize(), 225u);
    EXPECT_EQ(s->chunkPerSecond(), 49u);
    ASSERT_EQ(s->open(), 0u);
    for (int second = 1; second <= 3; ++second) {
        clock.advanceMs(1000);
        ASSERT_TRUE(kelTestWaitUntil(
            [&] { return sink.count() >= size_t(49 * second) && s->realTimerCount() == 0; }));
        EXPECT_EQ(sink.count(), size_t(49 * second));
    }
    std::string all;
    for (const std::string& c : sink.chunks())
        all += c;
    EXPECT_EQ(all, kelTestRamp(225 * 147));
}

TEST_F(RiffThread, TheEndOfTheDataEndsTheStream)
{
    const std::string samples = kelTestRamp(1764 + 882, 4);
    auto s =
        stream(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1)) + kelTestChunk("data", samples)),
               true, false);
    ASSERT_EQ(s->open(), 0u);
    clock.advanceMs(200); // ten ticks for two chunks of data
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.done() > 0 && s->realTimerCount() == 0; }));
    const auto chunks = sink.chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], samples.substr(0, 1764));
    EXPECT_EQ(chunks[1], samples.substr(1764) + std::string(882, '\0'));
    EXPECT_TRUE(s->streamIsDone());
    EXPECT_TRUE(s->readingIsDone());
}

TEST_F(RiffThread, WithoutRealTimeTheWholeFileGoesToTheOutputStream)
{
    const std::string samples = kelTestRamp(5 * 1764 + 100, 8);
    auto s =
        stream(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1)) + kelTestChunk("data", samples)),
               false, false);
    EXPECT_EQ(s->realTimer(), nullptr);
    ASSERT_EQ(s->open(), 0u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.done() > 0; }));
    // Once done the thread slows down instead of spinning.
    EXPECT_EQ(s->nonrealTimeDelay(), 20u);
    std::string out(8 * 1764, '\0');
    out.resize(s->read(out.data(), out.size()));
    EXPECT_EQ(out, samples + std::string(1764 - 100, '\0'));
    EXPECT_EQ(s->outBytes(), int64_t(6 * 1764));
    EXPECT_EQ(s->close(), 0u);
}

TEST_F(RiffThread, LoopingOverEmptyDataEndsTheStreamInsteadOfSpinning)
{
    const std::string empty = kelTestChunk("data", "");
    auto s =
        stream(kelTestWave(kelTestChunk("fmt ", kelTestFmtPCM(44100, 16, 1)) + empty + empty), false, true);
    ASSERT_EQ(s->open(), 0u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return sink.done() > 0; }));
    EXPECT_TRUE(s->streamIsDone());
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(s->close(), 0u);
}
