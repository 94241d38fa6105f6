// kelRiffStream over MPEG audio files: which files are taken, the format it
// reports, and the frames it delivers by each chunk's sample budget (device
// thread under a manual clock, and passive reads), once each, looping or
// ending for good.

#include "audio/kelMMTimer.h"
#include "audio/kelRIFF.h"
#include "core/kelClock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestMpeg.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// MPEG-1 Layer III, 128 kbit/s, 44 100 Hz stereo frames, each body filled
// with its index so that every frame can be told apart.
std::vector<std::string> mp3Frames(int count)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        kelTestMpegFrame f;
        f.padding = i % 3 == 2;
        f.length = 417 + f.padding;
        std::string bytes = kelTestMpegFrameBytes(f);
        std::fill(bytes.begin() + 4, bytes.end(), char(0x20 + i % 64));
        out.push_back(bytes);
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const auto& p : parts)
        out += p;
    return out;
}

class RiffMpeg : public ::testing::Test
{
protected:
    kelOwned<kelRiffStream> open(const std::string& image, bool realTime, bool loop)
    {
        const std::string name = dir.file("f" + std::to_string(++files) + ".mp3");
        kelWriteBytes(name, image);
        kelOwned<kelRiffStream> s(kelRiffStream::create(utf8ToUtf16(name), realTime, loop));
        if (s) {
            s->setClock(clock);
            s->setOnDataAvailable([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
                std::lock_guard<std::mutex> guard(mutex);
                chunks.emplace_back(static_cast<const char*>(data), size);
            });
        }
        return s;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return chunks.size();
    }
    std::vector<std::string> delivered()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return chunks;
    }
    // Advances the clock by `ticks` chunk periods and waits until the
    // device has run them.
    bool tick(kelRiffStream& s, int ticks)
    {
        clock.advanceMs(20 * ticks);
        return kelTestWaitUntil([&] { return s.realTimerCount() == 0; });
    }

    kelTempDir dir;
    int files = 0;
    kelManualClock clock;
    std::mutex mutex;
    std::vector<std::string> chunks;
};

} // namespace

TEST_F(RiffMpeg, MpegFileIsTakenWithThePcmTimingAndTheMpegSubFormat)
{
    const auto frames = mp3Frames(4);
    auto s = open(kelTestId3v2Tag(3, 0, 500) + joined(frames), true, false);
    ASSERT_EQ(s->status(), kelRiffReading);
    EXPECT_EQ(s->fileType(), kelRiffFileMpeg);
    EXPECT_EQ(s->mpegFrameSize(), 1152u);
    EXPECT_EQ(s->streamSize(), 417u);
    const WAVEFORMATEXTENSIBLE* ext = s->srcFormatExt();
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(ext->Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(ext->Format.nChannels, 2);
    EXPECT_EQ(ext->Format.wBitsPerSample, 16);
    EXPECT_EQ(ext->dwChannelMask, 0x3u);
    const uint8_t mpegSubFormat[16] = {0x50, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
    EXPECT_EQ(std::memcmp(&ext->SubFormat, mpegSubFormat, 16), 0);
    // The chunk timing is that of the PCM the frames stand for.
    EXPECT_EQ(s->chunkSize(), 3528u);
    EXPECT_EQ(s->chunkPerSecond(), 50u);
}

// Only files whose first frame is confirmed, and found within 1 MiB of
// garbage behind the tags, are MPEG audio.
TEST_F(RiffMpeg, OnlyConfirmedFramesNearTheStartMakeAnMpegFile)
{
    const std::string frames = joined(mp3Frames(3));
    std::string oneHeader(5000, '\x11');
    oneHeader.replace(100, 4, frames.substr(0, 4));
    const std::string mib(1048576, '\x11');
    struct Case
    {
        const char* name;
        std::string image;
        intptr_t status;
    };
    const Case cases[] = {
        {"one header-like word in a binary", oneHeader, kelRiffNotRiff},
        {"a single frame, the data ending behind it", frames.substr(0, 417), kelRiffReading},
        {"a frame followed by junk", frames.substr(0, 417) + std::string(50, '\x11'), kelRiffNotRiff},
        {"frames just inside 1 MiB of garbage", mib.substr(1) + frames, kelRiffReading},
        {"frames behind 1 MiB of garbage", mib + frames, kelRiffNotRiff},
        {"a large tag, then frames", kelTestId3v2Tag(3, 0, 1048576 + 10) + frames, kelRiffReading},
        {"empty", "", kelRiffNotRiff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto s = open(c.image, false, false);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->status(), c.status);
        EXPECT_EQ(s->fileType(), c.status == kelRiffReading ? kelRiffFileMpeg : kelRiffFileNone);
        EXPECT_EQ(s->mpegFrameSize(), c.status == kelRiffReading ? 1152u : 0u);
    }
}

// 882 samples a chunk against 1152 a frame: every chunk delivers frames
// until its samples are covered, the surplus counting towards the next, so
// after k chunks ceil(882 k / 1152) frames are out, each once and in order;
// after the last frame nothing more comes.
TEST_F(RiffMpeg, ChunksDeliverWholeFramesByTheSampleBudget)
{
    const auto frames = mp3Frames(30);
    auto s = open(joined(frames), true, false);
    std::atomic<int> done{0};
    s->setOnStreamIsDone([&](kelRiffStream*) { ++done; });
    ASSERT_EQ(s->open(), 0u);
    for (int k = 1; k <= 20; ++k) {
        ASSERT_TRUE(tick(*s, 1));
        ASSERT_TRUE(kelTestWaitUntil([&] { return count() >= size_t((882 * k + 1151) / 1152); }));
        ASSERT_EQ(count(), size_t((882 * k + 1151) / 1152)) << "after chunk " << k;
    }
    ASSERT_TRUE(tick(*s, 40));
    ASSERT_TRUE(kelTestWaitUntil([&] { return s->streamIsDone(); }));
    ASSERT_TRUE(tick(*s, 10));
    EXPECT_EQ(delivered(), frames);
    EXPECT_TRUE(s->readingIsDone());
    EXPECT_GT(done, 0);
    EXPECT_EQ(s->streamSize(), joined(frames).size());
    EXPECT_EQ(s->close(), 0u);

    // Opening again starts from the first frame.
    {
        std::lock_guard<std::mutex> guard(mutex);
        chunks.clear();
    }
    ASSERT_EQ(s->open(), 0u);
    ASSERT_TRUE(tick(*s, 1));
    ASSERT_TRUE(kelTestWaitUntil([&] { return count() >= 1; }));
    EXPECT_EQ(delivered()[0], frames[0]);
    EXPECT_EQ(s->close(), 0u);
}

TEST_F(RiffMpeg, LoopingStartsAgainWithTheFirstFrame)
{
    const auto frames = mp3Frames(3);
    auto s = open(kelTestId3v2Tag(4, 0x10, 64) + joined(frames), true, true);
    ASSERT_EQ(s->open(), 0u);
    ASSERT_TRUE(tick(*s, 12)); // 12 × 882 samples: 10 frames
    ASSERT_TRUE(kelTestWaitUntil([&] { return count() >= 10; }));
    const auto out = delivered();
    ASSERT_EQ(out.size(), 10u);
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i], frames[i % 3]) << i;
    EXPECT_FALSE(s->streamIsDone());
    EXPECT_EQ(s->streamSize(), joined(frames).size());
    EXPECT_EQ(s->close(), 0u);
}

TEST_F(RiffMpeg, PassiveReadsGiveEachFrameOnce)
{
    const auto frames = mp3Frames(5);
    auto s = open("junk" + joined(frames), false, false);
    ASSERT_EQ(s->passiveOpen(), 0u);
    std::vector<char> buf(8000);
    std::vector<std::string> got;
    while (uintptr_t n = s->readData(buf.data(), buf.size())) {
        got.emplace_back(buf.data(), n);
        ASSERT_LE(got.size(), frames.size());
    }
    EXPECT_EQ(got, frames);
    EXPECT_TRUE(s->streamIsDone());
    EXPECT_EQ(s->readData(buf.data(), buf.size()), 0u);
}
