// Recording through the virtual device (a WAV file as the source, byte for
// byte), playback through ALSA's file plugin, and the device list.

#include "audio/kelWaveDeviceList.h"
#include "audio/kelWaveInDevice.h"
#include "audio/kelWaveOutDevice.h"
#include "core/kelCreate.h"
#include "platform/kelAlsaWave.h"
#include "platform/kelWavFile.h"
#include "tests/support/kelTestWaveDevice.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string tempPath(const std::string& name)
{
    return ::testing::TempDir() + "wavedev-" + std::to_string(getpid()) + "-" + name;
}

bool writeWav(const std::string& path, const WAVEFORMATEX& format, const std::vector<uint8_t>& data)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = kelWavWriteHeader(file, format) &&
              std::fwrite(data.data(), 1, data.size(), file) == data.size() &&
              kelWavFinish(file, format, data.size());
    return std::fclose(file) == 0 && ok;
}

std::vector<uint8_t> wavData(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    kelWavLayout layout;
    if (!kelWavParse(image.data(), image.size(), layout)) return {};
    return std::vector<uint8_t>(image.begin() + ptrdiff_t(layout.dataOffset),
                                image.begin() + ptrdiff_t(layout.dataOffset + layout.dataSize));
}

} // namespace

TEST(kelWaveInDeviceTest, RecordsAWavFileThroughTheVirtualDeviceByteForByte)
{
    kelTestVirtualWaveOnManualClock wave;
    const WAVEFORMATEX format = kelTestPcmFormat(22050, 2, 16);
    const std::vector<uint8_t> source = kelTestCountingPcm16(0, 22050 * 3 + 123, 2); // 3 s and a bit
    const std::string path = tempPath("source.wav");
    ASSERT_TRUE(writeWav(path, format, source));
    kelVirtualWave::instance().recordFile(path);

    auto* device = kelCreate<kelWaveInDevice>(kelVirtualWaveDeviceId, false, false, uintptr_t(0));
    ASSERT_TRUE(device->setSampling(22050, 16, 2));
    std::vector<uint8_t> recorded;
    std::atomic<uint64_t> chunks{0};
    device->setOnDataAvailable([&](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        recorded.insert(recorded.end(), bytes, bytes + size);
        ++chunks;
    });
    ASSERT_EQ(device->open(), 0u);
    EXPECT_EQ(device->inProgress(), intptr_t(maxInBuffers.load()));
    const uint64_t wanted = source.size() / device->chunkSize() + 2;
    ASSERT_TRUE(wave.advanceUntil([&] { return chunks.load() >= wanted; }, [&] { return chunks.load(); }, 50,
                                  2, 10000, 100, wanted));
    EXPECT_EQ(device->close(), 0u);
    ASSERT_GE(recorded.size(), source.size());
    EXPECT_TRUE(std::equal(source.begin(), source.end(), recorded.begin()));
    // Silence once the file ran out.
    EXPECT_TRUE(std::all_of(recorded.begin() + ptrdiff_t(source.size()), recorded.end(),
                            [](uint8_t b) { return b == 0; }));
    // The recording headers were made once: maxInBuffers of them.
    EXPECT_EQ(uint64_t(device->outBytes()), recorded.size());
    kelFree(device);
    std::remove(path.c_str());
}

TEST(kelWaveInDeviceTest, PlaybackThroughAlsasFilePluginEqualsWhatWasWritten)
{
    if (!kelAlsaAvailable()) GTEST_SKIP() << "built without ALSA";
    const std::string wav = tempPath("alsa.wav");
    const std::string config = wav + ".conf";
    std::ofstream(config) << "pcm.!default {\n  type file\n  slave.pcm { type null }\n  file \"" << wav
                          << "\"\n  format \"wav\"\n}\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

    auto* device = kelCreate<kelWaveOutDevice>(WAVE_MAPPER, false, false, uintptr_t(6));
    ASSERT_TRUE(device->setSampling(48000, 16, 2));
    constexpr uint64_t chunks = 25; // half a second
    std::atomic<uint64_t> fed{0};
    std::vector<uint8_t> written;
    device->setOnAfterChunkDone([&](kelMsAcmStreamDevice* sender, void* data, uintptr_t size) {
        if (fed.load() >= chunks) return;
        const std::vector<uint8_t> next = kelTestCountingPcm16(fed.load() * 960, 960, 2);
        std::memcpy(data, next.data(), size);
        if (sender->write(data, size) == size) {
            written.insert(written.end(), next.begin(), next.end());
            ++fed;
        }
    });
    const uint32_t opened = device->open();
    if (opened != 0) {
        kelFree(device);
        GTEST_SKIP() << "ALSA's file plugin is not available: " << std::string(device ? "open gave " : "")
                     << opened;
    }
    ASSERT_TRUE(device->flush(true));
    ASSERT_TRUE(kelTestWaitUntil([&] { return fed.load() == chunks && device->inProgress() == 0; }));
    EXPECT_EQ(device->close(), 0u);
    kelFree(device);

    const std::vector<uint8_t> data = wavData(wav);
    std::remove(wav.c_str());
    std::remove(config.c_str());
    // The file holds every chunk written, in order and unchanged; the
    // plugin plays faster than real time, so the device may have topped its
    // queue up with whole chunks of silence between them.
    ASSERT_EQ(data.size() % (960 * 4), 0u);
    std::vector<uint8_t> audible;
    for (size_t at = 0; at < data.size(); at += 960 * 4) {
        const auto from = data.begin() + ptrdiff_t(at), to = from + 960 * 4;
        if (!std::all_of(from, to, [](uint8_t b) { return b == 0; })) audible.insert(audible.end(), from, to);
    }
    EXPECT_EQ(audible, written);
}

TEST(kelWaveDeviceListTest, MapperFirstThenEveryDeviceWithItsPositionRule)
{
    kelWaveDeviceList list;
    fillWaveDeviceList(list, true, true);
    ASSERT_EQ(list.entries.size(), size_t(kelWaveInDevice::getDeviceCount()) + 1);
    EXPECT_TRUE(list.hasMapper());
    EXPECT_EQ(list.entries[0].deviceId, -1);
    EXPECT_FALSE(list.entries[0].name.empty());
    EXPECT_EQ(list.entries[1].name, kelString(kelVirtualWaveName));
    EXPECT_EQ(deviceIdFromListIndex(list, 0), -1);
    EXPECT_EQ(deviceIdFromListIndex(list, 1), 0);
    EXPECT_EQ(listIndexFromDeviceId(-1, true), 0);
    EXPECT_EQ(listIndexFromDeviceId(intptr_t(WAVE_MAPPER), false), -1);
    EXPECT_EQ(listIndexFromDeviceId(3, true), 4);
    EXPECT_EQ(listIndexFromDeviceId(3, false), 3);

    fillWaveDeviceList(list, false, false, [](intptr_t id, kelString& name) {
        name += u"!";
        return id == 0;
    });
    EXPECT_FALSE(list.hasMapper());
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].name, kelString(kelVirtualWaveName) + u"!");
    EXPECT_EQ(deviceIdFromListIndex(list, 0), 0);
}
