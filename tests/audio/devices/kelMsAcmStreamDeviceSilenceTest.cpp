#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelPCM.h"
#include "tests/support/kelTestDevices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr int16_t kQuiet = 100;  // volume 200
constexpr int16_t kLoud = 10000; // volume 20000

// One 20 ms chunk of 8 kHz 16-bit mono (or more channels) at a constant
// sample value, so its measured volume is value × 65536 / 32768.
std::vector<uint8_t> constantChunk(int16_t value, uint16_t channels = 1, size_t frames = 160)
{
    std::vector<uint8_t> chunk(frames * channels * 2);
    for (size_t i = 0; i < frames * channels; ++i)
        std::memcpy(&chunk[i * 2], &value, 2);
    return chunk;
}

struct SilenceFixture : ::testing::Test
{
    kelManualClock clock;
    kelOwned<kelTestStreamDevice> device = kelMakeOwned<kelTestStreamDevice>(true, true, true);
    WAVEFORMATEX format = kelTestDevicePcm(8000, 16, 1);
    int notifications = 0;
    std::vector<bool> notified;

    void SetUp() override
    {
        device->setClock(clock);
        ASSERT_TRUE(device->setFormat(true, &format));
        device->setSilenceDetectionMode(kelsdm_MT);
        device->setMinActiveTime(100);
        device->setMinVolumeLevel(1000);
        device->setOnThreshold([this](kelMsAcmStreamDevice*, bool& passThrough) {
            ++notifications;
            notified.push_back(passThrough);
        });
        ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    }
    // A device opens silent: a loud chunk makes it pass quiet ones again.
    void wake() { ASSERT_TRUE(feed(kLoud)); }
    // Feeds one chunk 20 ms after the last; whether it passed.
    bool feed(int16_t value)
    {
        clock.advanceMs(20);
        auto chunk = constantChunk(value);
        return device->deliverChunk(chunk.data(), chunk.size(), &format) != 0;
    }
};

} // namespace

TEST(kelMsAcmStreamDeviceSilenceTest, VolumeLevelSwitchesMeasurementAndRestoresIt)
{
    auto device = kelMakeOwned<kelTestStreamDevice>();
    EXPECT_FALSE(device->calcVolume());
    device->setMinVolumeLevel(10);
    EXPECT_TRUE(device->calcVolume());
    device->setMinVolumeLevel(20); // between two levels the saved value stays
    device->setMinVolumeLevel(0);
    EXPECT_FALSE(device->calcVolume());

    device->setCalcVolume(true);
    device->setMinVolumeLevel(10);
    device->setMinVolumeLevel(0);
    EXPECT_TRUE(device->calcVolume());
}

TEST_F(SilenceFixture, QuietSignalBecomesSilentAfterTheHold)
{
    // Opened silent: quiet chunks are dropped until something loud comes.
    EXPECT_FALSE(feed(kQuiet));
    EXPECT_TRUE(device->isSilence());
    notifications = 0;
    notified.clear();
    device->close(3000);
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);

    // The first decision notifies, whatever it is.
    EXPECT_TRUE(feed(kLoud));
    EXPECT_EQ(notifications, 1);
    EXPECT_FALSE(device->isSilence());

    // The first quiet chunk starts the hold; chunks pass through it.
    EXPECT_TRUE(feed(kQuiet)); // hold starts at t
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(feed(kQuiet)); // t + 100: still held
    EXPECT_FALSE(device->isSilence());
    EXPECT_FALSE(feed(kQuiet)); // t + 120: silent, dropped
    EXPECT_TRUE(device->isSilence());
    EXPECT_EQ(notifications, 2);
    EXPECT_FALSE(feed(kQuiet));
    EXPECT_EQ(notifications, 2);             // once per change
    EXPECT_EQ(device->skipTotal(), 3 * 320); // with the one before the reopen

    EXPECT_TRUE(feed(kLoud)); // loud ends the silence at once
    EXPECT_FALSE(device->isSilence());
    EXPECT_EQ(notifications, 3);
    EXPECT_EQ(notified, (std::vector<bool>{true, false, true}));
}

// A hold started by a quiet chunk used to survive a loud one, so the next
// quiet chunk after a burst declared silence at once.
TEST_F(SilenceFixture, LoudChunkEndsARunningHold)
{
    wake();
    EXPECT_TRUE(feed(kQuiet)); // hold starts
    clock.advanceMs(200);      // the hold has run out
    EXPECT_TRUE(feed(kLoud));  // ends it
    EXPECT_TRUE(feed(kQuiet)); // starts a new hold: passes
    EXPECT_FALSE(device->isSilence());
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_FALSE(device->isSilence());
}

TEST_F(SilenceFixture, HandlerDecidesWhetherTheChunkPasses)
{
    device->setOnThreshold([](kelMsAcmStreamDevice*, bool& passThrough) { passThrough = false; });
    EXPECT_FALSE(feed(kLoud)); // first decision: the handler refuses it
    EXPECT_TRUE(feed(kLoud));  // no change: passes without asking
}

TEST_F(SilenceFixture, WithoutMeasurementEveryChunkPassesAndSilenceEnds)
{
    wake();
    EXPECT_TRUE(feed(kQuiet));
    clock.advanceMs(200);
    EXPECT_FALSE(feed(kQuiet));
    ASSERT_TRUE(device->isSilence());
    const int before = notifications;
    device->setMinVolumeLevel(0); // measurement back off
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_FALSE(device->isSilence());
    EXPECT_EQ(notifications, before + 1); // told once that silence ended
    EXPECT_EQ(notified.back(), true);
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_EQ(notifications, before + 1);
}

TEST_F(SilenceFixture, NonPcmAndOtherModesPass)
{
    wake();
    EXPECT_TRUE(feed(kQuiet));
    clock.advanceMs(200);
    EXPECT_FALSE(feed(kQuiet));
    WAVEFORMATEX gsm{};
    gsm.wFormatTag = 0x31;
    gsm.nChannels = 1;
    auto chunk = constantChunk(kQuiet);
    EXPECT_NE(device->deliverChunk(chunk.data(), chunk.size(), &gsm), 0u);
    EXPECT_FALSE(device->isSilence());
    for (kelWaveInSDMethods mode : {kelsdm_none, kelsdm_DSP, kelsdm_3GPPVAD1}) {
        device->setSilenceDetectionMode(mode);
        EXPECT_TRUE(feed(kQuiet)) << mode;
        EXPECT_FALSE(device->isSilence()) << mode;
    }
}

TEST(kelMsAcmStreamDeviceVolumeTest, GainScalesEachChannelAndVolumesFollow)
{
    auto device = kelMakeOwned<kelTestStreamDevice>(true, true, true, 0, 0, true);
    const WAVEFORMATEX format = kelTestDevicePcm(8000, 16, 2);
    ASSERT_TRUE(device->setFormat(true, &format));
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    auto chunk = constantChunk(8192, 2);
    ASSERT_EQ(device->deliverChunk(chunk.data(), chunk.size(), &format), chunk.size());
    // The measure is a mean in floating point: allow for its rounding.
    EXPECT_NEAR(double(device->getVolume(0)), 16384, 1);
    EXPECT_NEAR(double(device->getVolume(1)), 16384, 1);

    device->setVolume100(1, 50);
    EXPECT_EQ(device->volume100(1), 50u);
    ASSERT_EQ(device->deliverChunk(chunk.data(), chunk.size(), &format), chunk.size());
    int16_t left = 0, right = 0;
    std::memcpy(&left, &chunk[0], 2);
    std::memcpy(&right, &chunk[2], 2);
    EXPECT_EQ(left, 8192);
    EXPECT_EQ(right, 4096);
    EXPECT_NEAR(double(device->getUnVolume(1)), 16384, 1);
    EXPECT_NEAR(double(device->getVolume(1)), 8192, 1);
    EXPECT_NEAR(double(device->getPrevVolume(1)), 16384, 1);
    EXPECT_EQ(device->getVolume(kelMsAcmStreamDevice::kAllChannels),
              (device->getVolume(0) + device->getVolume(1)) / 2);
    // Indexes wrap at 256; a 64-bit all-ones index is channel 255, not the mean.
    EXPECT_EQ(device->getVolume(256 + 1), device->getVolume(1));
    EXPECT_EQ(device->getVolume(UINT64_MAX), 0u);

    device->setVolume100(-1, 200); // every channel
    EXPECT_EQ(device->volume100(0), 200u);
    EXPECT_EQ(device->volume100(255), 200u);

    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->getVolume(0), 0u); // closing zeroes the volumes
}

// A record without channels must neither divide by zero nor scale anything.
TEST(kelMsAcmStreamDeviceVolumeTest, NoChannelsMeasuresNothing)
{
    auto device = kelMakeOwned<kelTestStreamDevice>(true, true, true, 0, 0, true);
    WAVEFORMATEX format = kelTestDevicePcm(8000, 16, 1);
    ASSERT_TRUE(device->setFormat(true, &format));
    device->setVolume100(0, 50);
    format.nChannels = 0;
    auto chunk = constantChunk(8192);
    const auto copy = chunk;
    EXPECT_TRUE(device->analyzeChunk(chunk.data(), chunk.size(), &format));
    EXPECT_EQ(chunk, copy);
    EXPECT_EQ(device->getVolume(0), 0u);

    device->setSilenceDetectionMode(kelsdm_MT);
    device->setMinVolumeLevel(1000);
    EXPECT_TRUE(device->analyzeChunk(chunk.data(), chunk.size(), &format));
    EXPECT_FALSE(device->isSilence());

    WAVEFORMATEX none = kelTestDevicePcm(8000, 16, 1);
    none.nChannels = 0;
    ASSERT_TRUE(device->setFormat(true, &none));
    EXPECT_EQ(device->getVolume(kelMsAcmStreamDevice::kAllChannels), 0u);
}
