// The wave layer's ALSA back end against ALSA's file plugin: the mapper is
// pointed, through a configuration of the test's own, at a "default" device
// that writes a WAV file, which must hold exactly what was played.

#include "platform/kelAlsaWave.h"
#include "platform/kelWavFile.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::vector<uint8_t> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Points ALSA at a configuration of the test's own (no card, no sound
// server) whose default device writes `wav`.
std::string useFilePlugin(const std::string& wav)
{
    const std::string config = wav + ".conf";
    std::ofstream out(config);
    out << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"" << wav
        << "\"\n  format \"wav\"\n}\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    return config;
}

std::vector<uint8_t> wavData(const std::string& wav)
{
    const std::vector<uint8_t> image = readAll(wav);
    kelWavLayout layout;
    if (!kelWavParse(image.data(), image.size(), layout)) {
        return {};
    }
    return std::vector<uint8_t>(image.begin() + ptrdiff_t(layout.dataOffset),
                                image.begin() + ptrdiff_t(layout.dataOffset + layout.dataSize));
}

TEST(AlsaWave, MapperPlaysIntoTheFilePluginByteForByte)
{
    if (!kelAlsaAvailable()) {
        GTEST_SKIP() << "built without ALSA";
    }
    const std::string wav = ::testing::TempDir() + "alsa-" + std::to_string(getpid()) + ".wav";
    const std::string config = useFilePlugin(wav);

    const WAVEFORMATEX format = kelTestPcmFormat();
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), 0u);
    kelTestWaveHarness wave(false, 10, 960 * 4);
    ASSERT_EQ(wave.open(format, WAVE_MAPPER), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return wave.doneCount() == 10; }));
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(wave.position(), 9600u);
    ASSERT_EQ(wave.close(), 0u);

    const std::vector<uint8_t> image = readAll(wav);
    std::remove(wav.c_str());
    std::remove(config.c_str());
    kelWavLayout layout;
    ASSERT_TRUE(kelWavParse(image.data(), image.size(), layout)) << image.size() << " bytes";
    EXPECT_EQ(layout.format.nChannels, 2u);
    EXPECT_EQ(layout.format.nSamplesPerSec, 48000u);
    std::vector<uint8_t> played;
    for (size_t i = 0; i < 10; ++i) {
        played.insert(played.end(), wave.data(i).begin(), wave.data(i).end());
    }
    const std::vector<uint8_t> written(image.begin() + ptrdiff_t(layout.dataOffset),
                                       image.begin() + ptrdiff_t(layout.dataOffset + layout.dataSize));
    EXPECT_EQ(written, played);
}

TEST(AlsaWave, ResetReturnsEveryBufferOnceAndTheFileHoldsAPrefix)
{
    if (!kelAlsaAvailable()) {
        GTEST_SKIP() << "built without ALSA";
    }
    const std::string wav = ::testing::TempDir() + "alsa-reset-" + std::to_string(getpid()) + ".wav";
    const std::string config = useFilePlugin(wav);
    WAVEFORMATEX odd = kelTestPcmFormat();
    odd.wBitsPerSample = 12;
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &odd, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);

    kelTestWaveHarness wave(false, 10, 960 * 4);
    ASSERT_EQ(wave.open(kelTestPcmFormat(), WAVE_MAPPER), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    // However far playing got, every buffer comes back once, in order.
    ASSERT_EQ(waveOutReset(wave.handle()), 0u);
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_EQ(wave.close(), 0u);
    const std::vector<uint8_t> written = wavData(wav);
    std::remove(wav.c_str());
    std::remove(config.c_str());
    std::vector<uint8_t> queued;
    for (size_t i = 0; i < 10; ++i) {
        queued.insert(queued.end(), wave.data(i).begin(), wave.data(i).end());
    }
    ASSERT_LE(written.size(), queued.size());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), queued.begin()));
}

TEST(AlsaWave, DeviceListStartsWithTheVirtualDevice)
{
    EXPECT_EQ(waveOutGetNumDevs(), 1u + kelAlsaDeviceCount(false));
    EXPECT_EQ(waveInGetNumDevs(), 1u + kelAlsaDeviceCount(true));
    WAVEOUTCAPSW caps{};
    for (uint32_t id = 1; id < waveOutGetNumDevs(); ++id) {
        ASSERT_EQ(waveOutGetDevCapsW(id, &caps, sizeof caps), 0u);
        EXPECT_NE(caps.szPname[0], 0) << id;
    }
    ASSERT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &caps, sizeof caps), 0u);
    EXPECT_NE(caps.szPname[0], 0);
}

} // namespace
