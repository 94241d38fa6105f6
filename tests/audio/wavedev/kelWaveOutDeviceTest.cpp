// The wave output device on the virtual device under a manual clock: the
// jitter start-up, the overload and nesting limits, the open flags, the
// extensible retry, the error texts, completions that miss the lock, and a
// minute of playback landing in the sink sample for sample.

#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelWaveFormatText.h"
#include "audio/kelWaveInDevice.h"
#include "audio/kelWaveOutDevice.h"
#include "core/kelCreate.h"
#include "tests/support/kelTestWaveDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uintptr_t chunk48k = 48000 / 50 * 4;

kelWaveOutDevice* stereoDevice(uint32_t id = kelVirtualWaveDeviceId, bool ji = true)
{
    auto* device = kelCreate<kelWaveOutDevice>(id, false, false, uintptr_t(6));
    device->setJitterImprove(ji);
    EXPECT_TRUE(device->setSampling(48000, 16, 2));
    return device;
}

size_t countCalls(const std::vector<std::string>& log, const std::string& name)
{
    return size_t(std::count(log.begin(), log.end(), name));
}

} // namespace

TEST(kelWaveOutDeviceTest, JitterImproveQueuesTheFirstChunkFourTimesAndRestartsOnTheThird)
{
    kelTestVirtualWaveOnManualClock wave;
    kelWaveOutDevice* device = stereoDevice();
    ASSERT_EQ(device->chunkSize(), chunk48k);
    ASSERT_EQ(device->open(), 0u);
    EXPECT_TRUE(device->paused());
    kelVirtualWave::instance().clearCallLog();

    const std::vector<uint8_t> chunk = kelTestCountingPcm16(0, 960, 2);
    EXPECT_EQ(device->write(chunk.data(), chunk.size()), chunk.size());
    EXPECT_EQ(device->inProgress(), 4);
    EXPECT_FALSE(device->paused());
    std::vector<std::string> log = kelVirtualWave::instance().callLog();
    log.erase(std::remove_if(log.begin(), log.end(),
                             [](const std::string& c) { return c.find("Prepare") != std::string::npos; }),
              log.end());
    EXPECT_EQ(log, (std::vector<std::string>{"waveOutWrite", "waveOutWrite", "waveOutWrite", "waveOutRestart",
                                             "waveOutWrite"}));

    // Up to overNumIn + 2 = 8 queued a write is taken; with 9 it is refused.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(device->write(chunk.data(), chunk.size()), chunk.size());
    EXPECT_EQ(device->inProgress(), 9);
    EXPECT_EQ(device->write(chunk.data(), chunk.size()), 0u);
    EXPECT_EQ(device->inOverloadTotal(), int64_t(chunk.size()));
    kelFree(device);
}

TEST(kelWaveOutDeviceTest, OncePlayingAShortQueueIsToppedUpWithSilenceNotRepeats)
{
    kelTestVirtualWaveOnManualClock wave;
    kelWaveOutDevice* device = stereoDevice();
    ASSERT_EQ(device->open(), 0u);
    const std::vector<uint8_t> first = kelTestCountingPcm16(0, 960, 2);
    ASSERT_EQ(device->write(first.data(), first.size()), first.size());
    // Play all four, then write one more chunk into the empty queue.
    ASSERT_TRUE(
        wave.advanceUntil([&] { return device->inProgress() == 0; }, [] { return 0; }, 0, 0, 1000, 20));
    const std::vector<uint8_t> second = kelTestCountingPcm16(960, 960, 2);
    ASSERT_EQ(device->write(second.data(), second.size()), second.size());
    EXPECT_EQ(device->inProgress(), 4);
    ASSERT_TRUE(
        wave.advanceUntil([&] { return device->inProgress() == 0; }, [] { return 0; }, 0, 0, 1000, 20));

    std::vector<uint8_t> expected;
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    expected.resize(expected.size() + 3 * chunk48k, 0);
    EXPECT_EQ(kelVirtualWave::instance().played(), expected);
    kelFree(device);
}

TEST(kelWaveOutDeviceTest, TheFifthNestedWriterIsRefusedAtOnce)
{
    kelTestVirtualWaveOnManualClock wave;
    kelWaveOutDevice* device = stereoDevice(kelVirtualWaveDeviceId, false);
    const std::vector<uint8_t> chunk = kelTestCountingPcm16(0, 960, 2);
    std::vector<uintptr_t> nested;
    int depth = 0;
    device->setOnAfterChunkFeed([&](kelMsAcmStreamDevice* sender, void*, uintptr_t) {
        if (depth >= 4) return;
        ++depth;
        nested.push_back(sender->write(chunk.data(), chunk.size()));
    });
    ASSERT_EQ(device->open(), 0u);
    EXPECT_EQ(device->write(chunk.data(), chunk.size()), chunk.size());
    // Writers 2 to 4 nest inside the feed handler; the fifth gets 0.
    EXPECT_EQ(nested, (std::vector<uintptr_t>{0, chunk.size(), chunk.size(), chunk.size()}));
    kelFree(device);
}

TEST(kelWaveOutDeviceTest, TheMapperOpensWithMappedDirectAndCallbackFlags)
{
    // The test's own ALSA configuration: a default device that plays nowhere.
    const std::string config = ::testing::TempDir() + "wavedev-null-" + std::to_string(getpid()) + ".conf";
    std::ofstream(config) << "pcm.!default {\n  type null\n}\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    auto* device = kelCreate<kelWaveOutDevice>(WAVE_MAPPER, true, true, uintptr_t(6));
    ASSERT_TRUE(device->setSampling(48000, 16, 2));
    EXPECT_EQ(device->open(), 0u);
    EXPECT_EQ(device->lastOpenFlags(), 0x3000Cu);
    EXPECT_EQ(device->close(), 0u);
    kelFree(device);
    std::remove(config.c_str());
}

TEST(kelWaveOutDeviceTest, ARefusedExtensibleRecordIsRetriedPlainOnlyWhenItsMaskIsPlain)
{
    kelTestVirtualWaveOnManualClock wave;
    kelVirtualWave::instance().refuseFormats(
        [](const WAVEFORMATEX& f) { return f.wFormatTag == WAVE_FORMAT_EXTENSIBLE; });
    for (const uint32_t mask : {0x60Fu, 0x3u}) {
        auto* device = kelCreate<kelWaveOutDevice>(kelVirtualWaveDeviceId, false, false, uintptr_t(6));
        kelFormatBlock ext;
        ASSERT_NE(fillFormatExtPCM(ext, 48000, 16, 16, 6, mask), nullptr);
        ASSERT_TRUE(device->setSamplingExt(true, ext.formatExt()));
        kelVirtualWave::instance().clearCallLog();
        const uint32_t result = device->open();
        const auto opens = countCalls(kelVirtualWave::instance().callLog(), "waveOutOpen");
        if (mask == 0x60F) {
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(opens, 2u);
            EXPECT_EQ(device->srcFormatExt()->dwChannelMask, 0x60Fu); // the device keeps its layout
        } else {
            EXPECT_EQ(result, WAVERR_BADFORMAT);
            EXPECT_EQ(opens, 1u);
            EXPECT_FALSE(device->isOpen());
        }
        kelFree(device);
    }
}

TEST(kelWaveOutDeviceTest, ErrorTextsComeFromThePlatformOrFallBackToTheLibrarysText)
{
    EXPECT_EQ(kelWaveOutDevice::getErrorText(32), u"32 (The device does not support this wave format.)");
    EXPECT_EQ(kelWaveOutDevice::getErrorText(1), u"1 (An unspecified error occurred.)");
    EXPECT_EQ(kelWaveOutDevice::getErrorText(40), mmErrorTextWithCode(40));
    EXPECT_EQ(kelWaveInDevice::getErrorText(11), u"An invalid parameter was passed.");
    EXPECT_EQ(kelWaveInDevice::getErrorText(40), mmErrorTextWithCode(40));
    auto* device = kelCreate<kelWaveOutDevice>(kelVirtualWaveDeviceId, false, false, uintptr_t(6));
    EXPECT_EQ(device->getErrorText(32), kelWaveOutDevice::getErrorText(32));
    kelFree(device);
}

TEST(kelWaveOutDeviceTest, ACompletionThatMissesTheLockRunsOnTheDeviceThread)
{
    kelTestVirtualWaveOnManualClock wave;
    kelWaveOutDevice* device = stereoDevice();
    std::atomic<int> done{0};
    device->setOnAfterChunkDone([&](kelMsAcmStreamDevice*, void*, uintptr_t) { ++done; });
    ASSERT_EQ(device->open(), 0u);
    const std::vector<uint8_t> chunk = kelTestCountingPcm16(0, 960, 2);
    ASSERT_EQ(device->write(chunk.data(), chunk.size()), chunk.size());
    ASSERT_TRUE(device->acquire(false, 1000)); // what open, close or a format change hold
    wave.clock().advanceMs(20);
    EXPECT_TRUE(kelTestWaitUntil([&] { return device->deferredCompletions() >= 1; }));
    EXPECT_EQ(done.load(), 0);
    device->releaseWO();
    EXPECT_TRUE(kelTestWaitUntil([&] { return done.load() >= 1; }));
    // The rest play out; none is lost.
    EXPECT_TRUE(wave.advanceUntil([&] { return done.load() == 4; }, [&] { return uint64_t(done.load()); }, 0,
                                  0, 1000, 20));
    kelFree(device);
}

TEST(kelWaveOutDeviceTest, AMinuteOfPlaybackLandsInTheSinkInOrderWithoutAGap)
{
    kelTestVirtualWaveOnManualClock wave;
    kelWaveOutDevice* device = stereoDevice();
    constexpr uint64_t chunks = 3000; // 60 s of 20 ms
    std::atomic<uint64_t> fed{0};
    device->setOnAfterChunkDone([&](kelMsAcmStreamDevice* sender, void* data, uintptr_t size) {
        const uint64_t n = fed.load();
        if (n >= chunks) return;
        // Into the finished buffer and back, as a player's feed loop does.
        const std::vector<uint8_t> next = kelTestCountingPcm16(n * 960, 960, 2);
        std::memcpy(data, next.data(), size);
        if (sender->write(data, size) == size) fed.fetch_add(1);
    });
    ASSERT_EQ(device->open(), 0u);
    ASSERT_TRUE(device->flush(true)); // silence first, as a player starts
    const size_t lead = kelVirtualWave::instance().played().size() / chunk48k + size_t(device->inProgress());
    ASSERT_TRUE(wave.advanceUntil([&] { return fed.load() == chunks && device->inProgress() == 0; },
                                  [&] { return fed.load(); }, 50, 12, 62000, 100, chunks))
        << fed.load() << " fed, " << device->inProgress() << " queued, " << device->deferredCompletions();
    const std::vector<uint8_t> played = kelVirtualWave::instance().played();
    ASSERT_EQ(played.size(), (lead + chunks) * chunk48k);
    const auto start = played.begin() + ptrdiff_t(lead * chunk48k);
    EXPECT_TRUE(std::all_of(played.begin(), start, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(start, played.end(), kelTestCountingPcm16(0, chunks * 960, 2).begin()));
    EXPECT_EQ(device->deferredCompletions(), 0u);
    kelFree(device);
}
