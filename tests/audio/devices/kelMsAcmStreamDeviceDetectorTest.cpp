#include "audio/kelMsAcmStreamDevice.h"

#include "tests/support/kelTestAllocCounter.h"
#include "tests/support/kelTestDevices.h"
#include "tests/support/kelTestVadSignals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A 1 kHz tone at -14 dBFS, on every channel or on one.
auto tone(uint32_t rate, int onlyChannel = -1)
{
    return [rate, onlyChannel](size_t frame, size_t channel) {
        if (onlyChannel >= 0 && int(channel) != onlyChannel) return 0.0;
        return 0.2 * std::sin(2 * kPi * 1000.0 * double(frame) / rate);
    };
}

double silence(size_t, size_t)
{
    return 0.0;
}

// A device opened (without its thread) on `format`, judging chunks in `mode`,
// counting its onThreshold calls.
struct DetectorDevice
{
    kelOwned<kelTestStreamDevice> device = kelMakeOwned<kelTestStreamDevice>();
    int notifications = 0;

    DetectorDevice(const WAVEFORMATEX& format, kelWaveInSDMethods mode)
    {
        device->setSilenceDetectionMode(mode);
        device->setOnThreshold([this](kelMsAcmStreamDevice*, bool&) { ++notifications; });
        reopen(format);
    }
    void reopen(const WAVEFORMATEX& format)
    {
        ASSERT_EQ(device->close(3000), 0u);
        ASSERT_TRUE(device->setFormat(true, &format));
        ASSERT_EQ(device->open(false, 1000, 0, false), 0u);
    }
    bool judge(std::vector<uint8_t>& chunk, const WAVEFORMATEX& format)
    {
        return device->analyzeChunk(chunk.data(), chunk.size(), &format);
    }
};

struct VadCase
{
    const char* name;
    uint32_t rate;
    uint16_t channels;
    uint16_t bits;
    int toneChannel; // -1: all
    size_t chunksPerSecond;
    // Chunks a decision lags behind: a chunk that completes no detector
    // frame keeps the previous frame's decision.
    size_t delay;
    bool examined;
};

} // namespace

// 0.5 s of digital silence, 0.4 s of tone, 1 s of digital silence, in chunks:
// the leading silence is dropped, the tone passes, 21 chunks after the last
// voiced one pass, then silence is dropped again. Digital silence is low
// power, so the counts do not depend on the detector's tuning.
TEST(kelMsAcmStreamDeviceVadTest, ChunksPassForVoiceAndTheHangover)
{
    const VadCase cases[] = {
        {"8 kHz mono", 8000, 1, 16, -1, 50, 0, true},
        {"44.1 kHz stereo, tone on the right only", 44100, 2, 16, 1, 50, 0, true},
        {"6000 Hz", 6000, 1, 16, -1, 50, 0, true},
        {"10 ms chunks", 8000, 1, 16, -1, 100, 1, true},
        {"8-bit", 8000, 1, 8, -1, 50, 0, true},
        {"packed 24-bit, 5 channels", 48000, 5, 24, 3, 50, 0, true},
        {"32-bit integers", 16000, 1, 32, -1, 50, 0, true},
        {"48-bit samples are not read", 8000, 1, 48, -1, 50, 0, false},
    };
    for (const VadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const WAVEFORMATEX format = kelTestPcmFormat(c.rate, c.channels, c.bits);
        DetectorDevice d(format, kelsdm_3GPPVAD1);
        const size_t chunkFrames = c.rate / c.chunksPerSecond;
        const size_t lead = c.chunksPerSecond / 2, burst = c.chunksPerSecond * 2 / 5,
                     tail = c.chunksPerSecond;
        std::vector<std::vector<uint8_t>> chunks;
        const auto burstSignal = tone(c.rate, c.toneChannel);
        for (size_t i = 0; i < lead + burst + tail; ++i) {
            const bool inBurst = i >= lead && i < lead + burst;
            chunks.push_back(kelTestPcmSignal(c.bits, c.channels, chunkFrames, [&](size_t f, size_t ch) {
                return inBurst ? burstSignal((i - lead) * chunkFrames + f, ch) : 0.0;
            }));
        }
        std::string got, expected;
        got.reserve(chunks.size());
        expected.reserve(chunks.size());
        const uint64_t allocations = kelTestAllocations();
        for (size_t i = 0; i < chunks.size(); ++i) {
            got += d.judge(chunks[i], format) ? 'P' : '.';
            const bool pass = !c.examined || (i >= lead + c.delay && i < lead + burst + c.delay + 21);
            expected += pass ? 'P' : '.';
        }
        EXPECT_EQ(kelTestAllocations(), allocations); // nothing allocated per chunk
        EXPECT_EQ(got, expected);
        EXPECT_EQ(d.notifications, 0); // this mode does not ask onThreshold
    }
}

// The DSP mode compares each channel's level with that channel's noise
// estimate: one loud channel makes the chunk pass.
TEST(kelMsAcmStreamDeviceDspTest, ALoudChannelAlonePassesAndChunkSizesMayChange)
{
    const WAVEFORMATEX format = kelTestPcmFormat(8000, 2, 16);
    DetectorDevice d(format, kelsdm_DSP);
    auto quiet = kelTestPcmSignal(16, 2, 160, silence);
    auto right = kelTestPcmSignal(16, 2, 160, tone(8000, 1));
    // A short chunk first: the automations size their output buffers to it
    // and reallocate them for the full chunks after it, so the buffers
    // fetched for it must not be read again.
    auto shortChunk = kelTestPcmSignal(16, 2, 10, silence);
    EXPECT_FALSE(d.judge(shortChunk, format));
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(d.judge(quiet, format)) << i;
    EXPECT_TRUE(d.device->isSilence());
    EXPECT_TRUE(d.judge(right, format));
    EXPECT_FALSE(d.device->isSilence());
    EXPECT_EQ(d.notifications, 2); // the first decision, then the change

    bool dropped = false;
    for (int i = 0; i < 100 && !dropped; ++i)
        dropped = !d.judge(quiet, format);
    EXPECT_TRUE(dropped) << "silence after the tone never dropped";
    EXPECT_EQ(d.notifications, 3);

    const uint64_t allocations = kelTestAllocations();
    for (int i = 0; i < 10; ++i)
        d.judge(i % 2 ? right : quiet, format);
    EXPECT_EQ(kelTestAllocations(), allocations);
}

// Chunks the automations cannot read pass unexamined, also when the device
// was opened before in a layout they took.
TEST(kelMsAcmStreamDeviceDspTest, ChunksItCannotReadPassUnexamined)
{
    struct Case
    {
        const char* name;
        uint16_t channels, bits;
    };
    const WAVEFORMATEX first = kelTestPcmFormat(8000, 2, 16);
    for (const Case c : {Case{"32-bit integers", 1, 32}, Case{"packed 24-bit", 2, 24},
                         Case{"300 channels", 300, 8}, Case{"48-bit", 1, 48}}) {
        SCOPED_TRACE(c.name);
        DetectorDevice d(first, kelsdm_DSP);
        auto quiet = kelTestPcmSignal(16, 2, 160, silence);
        EXPECT_FALSE(d.judge(quiet, first));
        const WAVEFORMATEX format = kelTestPcmFormat(8000, c.channels, c.bits);
        d.reopen(format);
        auto chunk = kelTestPcmSignal(c.bits, c.channels, 160, silence);
        if (c.bits == 48) chunk.assign(160 * 6, 0);
        EXPECT_TRUE(d.judge(chunk, format));
        EXPECT_FALSE(d.device->isSilence());
    }
}
