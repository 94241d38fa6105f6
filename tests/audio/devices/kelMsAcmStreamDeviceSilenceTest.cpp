#include "audio/kelMsAcmStreamDevice.h"

#include "tests/support/kelTestDevices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr int16_t kQuiet = 100;  // volume 200
constexpr int16_t kLoud = 10000; // volume 20000

// 160 frames of 16-bit samples at one value.
std::vector<uint8_t> constantChunk(int16_t value, uint16_t channels = 1)
{
    std::vector<uint8_t> chunk(160 * channels * 2);
    for (size_t i = 0; i < chunk.size(); i += 2)
        std::memcpy(&chunk[i], &value, 2);
    return chunk;
}

// Volume threshold 1000, hold 100 ms, on a manual clock; chunks 20 ms apart.
struct kelMsAcmStreamDeviceSilenceTest : ::testing::Test
{
    kelManualClock clock;
    kelOwned<kelTestStreamDevice> device = kelMakeOwned<kelTestStreamDevice>();
    WAVEFORMATEX format = kelTestPcmFormat(8000, 1, 16);
    std::vector<bool> notified; // what each onThreshold call was offered

    void SetUp() override
    {
        device->setClock(clock);
        ASSERT_TRUE(device->setFormat(true, &format));
        device->setSilenceDetectionMode(kelsdm_MT);
        device->setMinActiveTime(100);
        device->setMinVolumeLevel(1000);
        device->setOnThreshold([this](kelMsAcmStreamDevice*, bool& pass) { notified.push_back(pass); });
        ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    }
    bool feed(int16_t value)
    {
        clock.advanceMs(20);
        auto chunk = constantChunk(value);
        return device->deliverChunk(chunk.data(), chunk.size(), &format) != 0;
    }
};

} // namespace

TEST_F(kelMsAcmStreamDeviceSilenceTest, QuietSignalTurnsSilentAfterTheHoldAndLoudEndsIt)
{
    EXPECT_FALSE(feed(kQuiet)); // opened silent: the first decision notifies
    EXPECT_TRUE(feed(kLoud));
    EXPECT_TRUE(feed(kQuiet)); // hold starts at t
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(feed(kQuiet)); // up to t + 100: held
    EXPECT_FALSE(device->isSilence());
    EXPECT_FALSE(feed(kQuiet)); // t + 120: silent
    EXPECT_FALSE(feed(kQuiet));
    EXPECT_TRUE(device->isSilence());
    EXPECT_EQ(device->skipTotal(), 3 * 320);
    EXPECT_TRUE(feed(kLoud));
    EXPECT_EQ(notified, (std::vector<bool>{false, true, false, true})); // once per change
}

// A hold started by a quiet chunk used to survive a loud one, so the first
// quiet chunk after a burst declared silence at once.
TEST_F(kelMsAcmStreamDeviceSilenceTest, LoudChunkEndsARunningHold)
{
    ASSERT_TRUE(feed(kLoud));
    EXPECT_TRUE(feed(kQuiet)); // hold starts
    clock.advanceMs(200);
    EXPECT_TRUE(feed(kLoud));  // ends it
    EXPECT_TRUE(feed(kQuiet)); // a new hold, not silence
    EXPECT_FALSE(device->isSilence());
}

TEST_F(kelMsAcmStreamDeviceSilenceTest, HandlerDecidesAndOtherCasesPass)
{
    device->setOnThreshold([](kelMsAcmStreamDevice*, bool& pass) { pass = false; });
    EXPECT_FALSE(feed(kLoud)); // the first decision: the handler refuses
    EXPECT_TRUE(feed(kLoud));  // no change: not asked again

    device->setOnThreshold({});
    EXPECT_TRUE(feed(kQuiet));
    clock.advanceMs(200);
    EXPECT_FALSE(feed(kQuiet));
    WAVEFORMATEX gsm{};
    gsm.wFormatTag = 0x31;
    gsm.nChannels = 1;
    auto chunk = constantChunk(kQuiet);
    EXPECT_NE(device->deliverChunk(chunk.data(), chunk.size(), &gsm), 0u); // not PCM
    device->setSilenceDetectionMode(kelsdm_none);
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_FALSE(device->isSilence());
    for (kelWaveInSDMethods mode : {kelsdm_DSP, kelsdm_3GPPVAD1}) { // the detectors pass what is not PCM
        device->setSilenceDetectionMode(mode);
        EXPECT_NE(device->deliverChunk(chunk.data(), chunk.size(), &gsm), 0u) << mode;
        EXPECT_FALSE(device->isSilence()) << mode;
    }
}

TEST_F(kelMsAcmStreamDeviceSilenceTest, LevelZeroRestoresMeasurementAndEndsSilence)
{
    ASSERT_TRUE(feed(kLoud));
    EXPECT_TRUE(feed(kQuiet));
    clock.advanceMs(200);
    EXPECT_FALSE(feed(kQuiet));
    notified.clear();
    device->setMinVolumeLevel(20); // between levels the saved setting stays
    device->setMinVolumeLevel(0);
    EXPECT_FALSE(device->calcVolume());
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_TRUE(feed(kQuiet));
    EXPECT_FALSE(device->isSilence());
    EXPECT_EQ(notified, (std::vector<bool>{true})); // told once that silence ended
    device->setCalcVolume(true);
    device->setMinVolumeLevel(10);
    device->setMinVolumeLevel(0);
    EXPECT_TRUE(device->calcVolume());
}

TEST(kelMsAcmStreamDeviceVolumeTest, GainScalesEachChannelAndVolumesFollow)
{
    auto device = kelMakeOwned<kelTestStreamDevice>(true, 0, 0, true);
    const WAVEFORMATEX format = kelTestPcmFormat(8000, 2, 16);
    ASSERT_TRUE(device->setFormat(true, &format));
    ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    auto chunk = constantChunk(8192, 2);
    ASSERT_EQ(device->deliverChunk(chunk.data(), chunk.size(), &format), chunk.size());
    device->setVolume100(1, 50);
    ASSERT_EQ(device->deliverChunk(chunk.data(), chunk.size(), &format), chunk.size());
    int16_t left = 0, right = 0;
    std::memcpy(&left, &chunk[0], 2);
    std::memcpy(&right, &chunk[2], 2);
    EXPECT_EQ(left, 8192);
    EXPECT_EQ(right, 4096);
    // The measure is a floating-point mean: allow for its rounding.
    EXPECT_NEAR(double(device->getUnVolume(1)), 16384, 1);
    EXPECT_NEAR(double(device->getVolume(1)), 8192, 1);
    EXPECT_NEAR(double(device->getPrevVolume(1)), 16384, 1);
    EXPECT_EQ(device->getVolume(kelMsAcmStreamDevice::kAllChannels),
              (device->getVolume(0) + device->getVolume(1)) / 2);
    EXPECT_EQ(device->getVolume(256 + 1), device->getVolume(1)); // indexes wrap at 256
    EXPECT_EQ(device->getVolume(UINT64_MAX), 0u);                // channel 255, not the mean
    device->setVolume100(-1, 200);
    EXPECT_EQ(device->volume100(255), 200u);
    ASSERT_EQ(device->close(3000), 0u);
    EXPECT_EQ(device->getVolume(0), 0u);
}

// A record without channels must neither divide by zero nor scale anything.
TEST(kelMsAcmStreamDeviceVolumeTest, NoChannelsMeasuresNothing)
{
    auto device = kelMakeOwned<kelTestStreamDevice>(true, 0, 0, true);
    WAVEFORMATEX format = kelTestPcmFormat(8000, 1, 16);
    format.nChannels = 0;
    ASSERT_TRUE(device->setFormat(true, &format));
    device->setVolume100(0, 50);
    device->setSilenceDetectionMode(kelsdm_MT);
    device->setMinVolumeLevel(1000);
    auto chunk = constantChunk(8192);
    const auto copy = chunk;
    EXPECT_TRUE(device->analyzeChunk(chunk.data(), chunk.size(), &format));
    EXPECT_EQ(chunk, copy);
    EXPECT_FALSE(device->isSilence());
    EXPECT_EQ(device->getVolume(kelMsAcmStreamDevice::kAllChannels), 0u);
}
