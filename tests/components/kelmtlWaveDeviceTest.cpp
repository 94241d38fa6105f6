// The wave input and output components on the virtual device: their
// defaults, what reopens the device, a WAV file played through a chain into
// the sink sample for sample, and a recorded tone written to a WAV file that
// sox reads back with the same samples.

#include "core/kelUtf.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <numbers>

namespace {

struct Owned
{
    explicit Owned(kelmtlInOutPipe* p) : pipe(p) {}
    ~Owned() { kelFree(pipe); }
    kelmtlInOutPipe* pipe;
};

size_t callsNamed(const kelVirtualWave& wave, const std::string& name)
{
    const auto log = wave.callLog();
    return size_t(std::count(log.begin(), log.end(), name));
}

} // namespace

TEST(kelmtlWaveDeviceTest, NewComponentsReportTheirDefaults)
{
    auto* out = kelCreate<TkelmtlWaveOutDevice>();
    auto* in = kelCreate<kelmtlWaveInDevice>();
    Owned o1(out), o2(in);
    EXPECT_EQ(out->_classID(), u"TkelmtlWaveOutDevice");
    EXPECT_EQ(out->pcm_samplesPerSec(), 44100u);
    EXPECT_EQ(out->pcm_bitsPerSample(), 16u);
    EXPECT_EQ(out->pcm_numChannels(), 2u);
    EXPECT_EQ(out->pcm_channelMask(), 0x3u);
    EXPECT_EQ(out->overNum(), 6u);
    EXPECT_FALSE(out->inputIsPcm());
    EXPECT_FALSE(out->isFormatProvider());
    ASSERT_NE(out->waveOutDevice(), nullptr);
    EXPECT_EQ(out->waveOutDevice()->deviceId(), WAVE_MAPPER);
    EXPECT_EQ(out->chunkSize(), 3528u);

    EXPECT_TRUE(in->isFormatProvider());
    EXPECT_EQ(in->minActiveTime(), 0u);
    EXPECT_TRUE(in->enableDataProcessing());
    ASSERT_NE(in->waveInDevice(), nullptr);
    EXPECT_EQ(in->waveInDevice()->minActiveTime(), 0u);
    // Recording: the format is the device's destination side.
    ASSERT_NE(in->waveInDevice()->dstFormatExt(), nullptr);
    EXPECT_EQ(in->waveInDevice()->dstFormatExt()->Format.nSamplesPerSec, 44100u);
}

TEST(kelmtlWaveDeviceTest, OnlyAChangedValueReopensThePlayingDevice)
{
    kelTestVirtualWaveScope scope;
    auto* out = kelCreate<kelmtlWaveOutDevice>();
    Owned own(out);
    out->setDeviceId(kelVirtualWaveDeviceId);
    ASSERT_TRUE(out->open()) << out->waveError();
    ASSERT_EQ(callsNamed(scope.wave(), "waveOutOpen"), 1u);

    out->setPcm_samplesPerSec(44100);
    out->setPcm_numChannels(2);
    out->setPcm_channelMask(kelChannelMaskDefault);
    out->setDeviceId(kelVirtualWaveDeviceId);
    EXPECT_TRUE(out->active());
    EXPECT_EQ(callsNamed(scope.wave(), "waveOutOpen"), 1u);
    EXPECT_EQ(callsNamed(scope.wave(), "waveOutClose"), 0u);

    out->setPcm_samplesPerSec(48000);
    EXPECT_TRUE(out->active());
    EXPECT_EQ(callsNamed(scope.wave(), "waveOutOpen"), 2u);
    EXPECT_EQ(out->waveOutDevice()->srcFormatExt()->Format.nSamplesPerSec, 48000u);

    // Switching data processing off drops the queue without waiting and
    // pauses playback.
    scope.wave().clearCallLog();
    out->setEnableDataProcessing(false);
    EXPECT_EQ(callsNamed(scope.wave(), "waveOutReset"), 1u);
    EXPECT_TRUE(out->waveOutDevice()->paused());
    out->close();
    EXPECT_FALSE(out->active());
}

TEST(kelmtlWaveDeviceTest, AFailedOpenLeavesTheCodeAndItsText)
{
    kelTestVirtualWaveScope scope;
    auto* out = kelCreate<kelmtlWaveOutDevice>();
    Owned own(out);
    out->setDeviceId(kelVirtualWaveDeviceId);
    scope.wave().failNextOpen(MMSYSERR_ALLOCATED);
    EXPECT_FALSE(out->open());
    EXPECT_EQ(out->waveError(), MMSYSERR_ALLOCATED);
    EXPECT_NE(out->waveErrorAsString().find(u"4"), kelString::npos);
    EXPECT_TRUE(out->open());
    EXPECT_EQ(out->waveError(), 0);
}

TEST(kelmtlWaveDeviceTest, WavFileChainPlaysEverySampleIntoTheSink)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("wave-play");
    const std::string in = dir.file("in.wav");
    ASSERT_TRUE(kelTestSoxWave(in, 48000, 16, 2, "signed-integer", 0.31));
    const auto raw = kelTestSoxRaw(in);
    ASSERT_TRUE(raw && !raw->empty());

    // Two manual clocks: the platform's device plays by one, the file is
    // read by the other, so the test lets one chunk play before the next is
    // read and the output queue never overflows.
    kelTestVirtualWaveScope scope;
    kelManualClock readClock;
    auto* file = kelCreate<kelmtlWaveRiff>();
    auto* out = kelCreate<kelmtlWaveOutDevice>();
    Owned o1(out), o2(file);
    file->setClock(readClock);
    file->setRealTime(true);
    file->setAutoCloseOnDone(false);
    file->setIsFormatProvider(true);
    file->setFileName(utf8ToUtf16(in));
    out->setDeviceId(kelVirtualWaveDeviceId);
    std::atomic<size_t> fed{0}, done{0};
    out->setOnFeedChunk([&](kelmtlInOutPipe* sender, void*, uint32_t) {
        EXPECT_EQ(sender, out);
        fed.fetch_add(1);
    });
    out->setOnFeedDone([&](kelmtlInOutPipe*, void*, uint32_t len) {
        EXPECT_EQ(len, 3840u);
        done.fetch_add(1);
    });
    ASSERT_TRUE(file->addConsumer(out));
    EXPECT_EQ(out->pcm_samplesPerSec(), 48000u);
    EXPECT_EQ(out->chunkSize(), 3840u);

    ASSERT_TRUE(file->open()) << file->waveError();
    ASSERT_TRUE(out->active()) << out->waveError();
    ASSERT_TRUE(out->flush());
    kelWaveOutDevice* device = out->waveOutDevice();
    const intptr_t queued = device->inProgress();
    ASSERT_GT(queued, 2);
    kelRiffStream* stream = file->waveStream();
    for (int64_t chunk = 1; !stream->streamIsDone(); ++chunk) {
        ASSERT_LT(chunk, 40);
        scope.clock().advanceMs(20);
        ASSERT_TRUE(kelTestWaitUntil([&] { return device->inProgress() == queued - 1; })) << chunk;
        readClock.advanceMs(20);
        ASSERT_TRUE(kelTestWaitUntil([&] {
            return stream->streamIsDone() ||
                   (stream->outBytes() == chunk * 3840 && device->inProgress() == queued);
        })) << chunk;
    }
    ASSERT_TRUE(kelTestAdvanceUntil(
        scope.clock(), [&] { return device->inProgress() == 0; }, 2000, 20, 200));
    EXPECT_EQ(device->inOverloadTotal(), 0);
    file->close();
    EXPECT_FALSE(out->active());

    // Silence queued by the flush, the file's samples in order, then the
    // silence that fills its last chunk.
    const std::vector<uint8_t> played = scope.wave().played();
    const std::string sink(played.begin(), played.end());
    const size_t at = sink.find(*raw);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(at % 3840, 0u);
    EXPECT_EQ(sink.substr(0, at).find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(sink.find_first_not_of('\0', at + raw->size()), std::string::npos);
    EXPECT_EQ(sink.size() % 3840, 0u);
    EXPECT_EQ(done.load(), sink.size() / 3840);
    EXPECT_EQ(fed.load(), sink.size() / 3840);
}

TEST(kelmtlWaveDeviceTest, RecordedToneBecomesAFileSoxReadsBack)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("wave-record");
    const std::string path = dir.file("tone.wav");
    kelTestVirtualWaveScope scope;
    scope.wave().recordTone(440);
    auto* mic = kelCreate<kelmtlWaveInDevice>();
    auto* file = kelCreate<kelmtlWaveRiff>();
    Owned o1(file), o2(mic);
    mic->setDeviceId(kelVirtualWaveDeviceId);
    mic->setPcm_samplesPerSec(48000);
    mic->setPcm_numChannels(1);
    std::mutex guard;
    std::string recorded;
    mic->setOnDataAvailable([&](kelmtlInOutPipe*, void* data, uint32_t len) {
        std::lock_guard<std::mutex> lock(guard);
        recorded.append(static_cast<const char*>(data), len);
    });
    file->setIsInput(false);
    file->setFileName(utf8ToUtf16(path));
    ASSERT_TRUE(mic->addConsumer(file));
    ASSERT_TRUE(mic->open()) << mic->waveError();
    ASSERT_TRUE(file->active());
    const size_t chunk = 48000 * 2 / 50;
    ASSERT_TRUE(kelTestAdvanceUntil(
        scope.clock(),
        [&] {
            std::lock_guard<std::mutex> lock(guard);
            return recorded.size() >= 10 * chunk;
        },
        2000, 20, 200));
    mic->close();
    EXPECT_FALSE(file->active());

    EXPECT_EQ(kelTestSoxInfo(path, 'r'), "48000");
    EXPECT_EQ(kelTestSoxInfo(path, 'c'), "1");
    EXPECT_EQ(kelTestSoxInfo(path, 'b'), "16");
    const auto samples = kelTestSoxRaw(path);
    ASSERT_TRUE(samples);
    std::lock_guard<std::mutex> lock(guard);
    EXPECT_EQ(*samples, recorded);
    // And it is the tone: half of full scale at 440 Hz from the first sample.
    ASSERT_GE(samples->size(), 200u);
    for (size_t n = 0; n < 100; ++n) {
        int16_t s = 0;
        std::memcpy(&s, samples->data() + 2 * n, 2);
        const double expected = 0.5 * 32767 * std::sin(2 * std::numbers::pi * 440 * double(n) / 48000);
        ASSERT_NEAR(s, expected, 1.0) << n;
    }
}
