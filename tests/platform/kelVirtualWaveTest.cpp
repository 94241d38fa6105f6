// The wave layer on its virtual device, driven by a manual clock.

#include "platform/kelVirtualWave.h"
#include "platform/kelWaveApi.h"
#include "platform/kelWavFile.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t chunkBytes = 960 * 4; // 20 ms of 48 kHz stereo 16-bit

class VirtualWave : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelVirtualWave::instance().restoreDefaults();
        kelVirtualWave::instance().setClock(f_waveClock);
    }
    void TearDown() override { kelVirtualWave::instance().restoreDefaults(); }

    // Advances the clock by `ms` and waits until `count` buffers came back.
    bool advanceUntilDone(kelTestWaveHarness& wave, uint64_t ms, size_t count)
    {
        f_clock.advanceMs(ms);
        return kelTestWaitUntil([&] { return wave.doneCount() >= count; });
    }

    std::vector<uint8_t> concat(kelTestWaveHarness& wave, size_t count)
    {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count; ++i) {
            bytes.insert(bytes.end(), wave.data(i).begin(), wave.data(i).end());
        }
        return bytes;
    }

    kelManualClock f_clock;
    kelTestWaveClock f_waveClock{f_clock};
};

TEST_F(VirtualWave, BuffersReturnInQueueOrderWithTheirExactBytesInTheSink)
{
    kelTestWaveHarness wave(false, 4, chunkBytes);
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    EXPECT_EQ(wave.header(0).dwFlags & (WHDR_INQUEUE | WHDR_PREPARED), WHDR_INQUEUE | WHDR_PREPARED);

    f_clock.advanceMs(10);
    EXPECT_EQ(wave.position(), 480u);
    EXPECT_EQ(wave.doneCount(), 0u);
    f_clock.advanceMs(5);
    EXPECT_EQ(wave.position(), 720u);

    ASSERT_TRUE(advanceUntilDone(wave, 65, 4));
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2, 3}));
    EXPECT_EQ(wave.position(), 4u * 960u);
    EXPECT_EQ(kelVirtualWave::instance().played(), concat(wave, 4));
    EXPECT_EQ(kelVirtualWave::instance().playedBytes(), 4 * chunkBytes);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(wave.header(i).dwFlags, WHDR_DONE | WHDR_PREPARED) << i;
    }
    EXPECT_EQ(wave.close(), 0u);
    EXPECT_EQ(wave.messages().front(), WOM_OPEN);
    EXPECT_EQ(wave.messages().back(), WOM_CLOSE);
}

TEST_F(VirtualWave, PositionAfterAnUnderrunCountsOnlyWhatPlayed)
{
    kelTestWaveHarness wave(false, 2, chunkBytes);
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepare(0), 0u);
    ASSERT_EQ(wave.queue(0), 0u);
    ASSERT_TRUE(advanceUntilDone(wave, 20, 1));
    // 100 ms with nothing queued: the device idles and owes nothing.
    f_clock.advanceMs(100);
    EXPECT_EQ(wave.position(), 960u);
    ASSERT_EQ(wave.prepare(1), 0u);
    ASSERT_EQ(wave.queue(1), 0u);
    EXPECT_EQ(wave.position(), 960u);
    ASSERT_TRUE(advanceUntilDone(wave, 20, 2));
    EXPECT_EQ(wave.position(), 1920u);
    EXPECT_EQ(kelVirtualWave::instance().played(), concat(wave, 2));
    EXPECT_EQ(wave.close(), 0u);
}

TEST_F(VirtualWave, ResetReturnsEveryQueuedBufferExactlyOnce)
{
    kelTestWaveHarness wave(false, 5, chunkBytes);
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_TRUE(advanceUntilDone(wave, 30, 1));
    EXPECT_EQ(wave.position(), 1440u);
    EXPECT_EQ(waveOutClose(wave.handle()), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(wave.handle(), &wave.header(3), sizeof(WAVEHDR)), WAVERR_STILLPLAYING);

    ASSERT_EQ(waveOutReset(wave.handle()), 0u);
    // Reset waits for the returns, so they are all in already.
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(wave.position(), 0u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(wave.header(i).dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE) << i;
    }
    // What played is the first buffer and half of the second, nothing more.
    std::vector<uint8_t> expected = concat(wave, 1);
    expected.insert(expected.end(), wave.data(1).begin(), wave.data(1).begin() + chunkBytes / 2);
    EXPECT_EQ(kelVirtualWave::instance().played(), expected);
    f_clock.advanceMs(200);
    EXPECT_EQ(wave.position(), 0u);
    EXPECT_EQ(wave.doneCount(), 5u);
    EXPECT_EQ(wave.close(), 0u);
}

TEST_F(VirtualWave, CompletionQueuesTheNextBufferFromInsideTheCallback)
{
    // Two buffers taking turns for 10 s of clock time, each refilled and
    // written back by the completion itself, as a player does.
    kelTestWaveHarness wave(false, 2, chunkBytes);
    size_t written = 2;
    wave.onDone = [&](kelTestWaveHarness& w, size_t index) {
        if (written >= 500) return;
        for (size_t k = 0; k < chunkBytes; ++k)
            w.data(index)[k] = uint8_t(written + k);
        ++written;
        EXPECT_EQ(w.queue(index), 0u);
    };
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    std::vector<uint8_t> expected = concat(wave, 2);
    for (size_t n = 2; n < 500; ++n) {
        for (size_t k = 0; k < chunkBytes; ++k)
            expected.push_back(uint8_t(n + k));
    }
    for (size_t step = 1; step <= 500; ++step) {
        ASSERT_TRUE(advanceUntilDone(wave, 20, step)) << step;
    }
    EXPECT_EQ(wave.position(), 500u * 960u);
    EXPECT_EQ(kelVirtualWave::instance().played(), expected);
    const std::vector<size_t> done = wave.done();
    for (size_t i = 0; i < done.size(); ++i) {
        ASSERT_EQ(done[i], i % 2) << i;
    }
    EXPECT_EQ(wave.close(), 0u);
}

TEST_F(VirtualWave, ResetAndCloseFromInsideACompletionDoNotDeadlock)
{
    kelTestWaveHarness wave(false, 4, chunkBytes);
    std::atomic<MMRESULT> resetResult{99}, closeResult{99};
    wave.onDone = [&](kelTestWaveHarness& w, size_t index) {
        if (index == 0) {
            resetResult = waveOutReset(w.handle());
        } else if (index == 3) {
            for (size_t i = 0; i < 4; ++i)
                waveOutUnprepareHeader(w.handle(), &w.header(i), sizeof(WAVEHDR));
            closeResult = waveOutClose(w.handle());
        }
    };
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_TRUE(advanceUntilDone(wave, 20, 4));
    ASSERT_TRUE(kelTestWaitUntil([&] { return closeResult.load() != 99u; }));
    EXPECT_EQ(resetResult.load(), 0u);
    EXPECT_EQ(closeResult.load(), 0u);
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2, 3}));
    EXPECT_EQ(waveOutReset(wave.handle()), MMSYSERR_INVALHANDLE);
}

TEST_F(VirtualWave, PauseHoldsThePositionAndRestartGoesOn)
{
    kelTestWaveHarness wave(false, 1, chunkBytes);
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(waveOutPause(wave.handle()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    f_clock.advanceMs(50);
    EXPECT_EQ(wave.position(), 0u);
    ASSERT_EQ(waveOutRestart(wave.handle()), 0u);
    EXPECT_EQ(wave.position(), 0u);
    f_clock.advanceMs(5);
    EXPECT_EQ(wave.position(), 240u);
    ASSERT_EQ(waveOutPause(wave.handle()), 0u);
    f_clock.advanceMs(50);
    EXPECT_EQ(wave.position(), 240u);
    EXPECT_EQ(wave.doneCount(), 0u);
    ASSERT_EQ(waveOutRestart(wave.handle()), 0u);
    wave.position();
    ASSERT_TRUE(advanceUntilDone(wave, 15, 1));
    EXPECT_EQ(wave.position(), 960u);
    EXPECT_EQ(wave.close(), 0u);
}

TEST_F(VirtualWave, InjectedFaultsAnswerTheirCodes)
{
    kelVirtualWave& device = kelVirtualWave::instance();
    const WAVEFORMATEX format = kelTestPcmFormat();
    device.refuseFormats([](const WAVEFORMATEX& f) { return f.nChannels > 2; });
    const WAVEFORMATEX six = kelTestPcmFormat(48000, 6);
    HWAVEOUT handle = nullptr;
    EXPECT_EQ(waveOutOpen(nullptr, 0, &six, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(&handle, 0, &six, 0, 0, 0), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), 0u);

    device.failNextOpen(MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveOutOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), 0u); // a query does not use it up
    EXPECT_EQ(waveOutOpen(&handle, 0, &format, 0, 0, 0), MMSYSERR_ALLOCATED);
    kelTestWaveHarness wave(false, 2, chunkBytes);
    ASSERT_EQ(wave.open(format), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);

    device.setStalled(true);
    f_clock.advanceMs(40);
    EXPECT_EQ(wave.position(), 0u);
    EXPECT_EQ(wave.doneCount(), 0u);
    device.setStalled(false);
    wave.position();

    device.setLateReturnUs(30000);
    f_clock.advanceMs(20);
    EXPECT_EQ(wave.position(), 960u);
    EXPECT_EQ(wave.doneCount(), 0u); // played, held back
    ASSERT_TRUE(advanceUntilDone(wave, 30, 1));
    ASSERT_TRUE(advanceUntilDone(wave, 30, 2));
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(wave.close(), 0u);

    const std::vector<std::string> log = device.callLog();
    const std::vector<std::string> start(log.begin(), log.begin() + 4);
    EXPECT_EQ(start, (std::vector<std::string>{"waveOutOpen", "waveOutOpen", "waveOutOpen", "waveOutOpen"}));
    EXPECT_NE(std::find(log.begin(), log.end(), "waveOutWrite"), log.end());
    EXPECT_EQ(log.back(), "waveOutClose");
}

TEST_F(VirtualWave, MisuseIsAnsweredWithTheLayersCodes)
{
    const WAVEFORMATEX format = kelTestPcmFormat();
    HWAVEOUT handle = nullptr;
    EXPECT_EQ(waveOutOpen(&handle, waveOutGetNumDevs(), &format, 0, 0, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutOpen(&handle, 0, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
    WAVEFORMATEX odd = format;
    odd.nBlockAlign = 3;
    EXPECT_EQ(waveOutOpen(&handle, 0, &odd, 0, 0, 0), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutWrite(reinterpret_cast<HWAVEOUT>(&handle), nullptr, sizeof(WAVEHDR)),
              MMSYSERR_INVALHANDLE);

    kelTestWaveHarness wave(false, 1, chunkBytes);
    ASSERT_EQ(wave.open(format), 0u);
    EXPECT_EQ(wave.queue(0), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(wave.handle(), &wave.header(0), 8), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInStart(wave.handle()), MMSYSERR_INVALHANDLE); // a playback handle is not a recording one
    ASSERT_EQ(wave.prepare(0), 0u);
    ASSERT_EQ(wave.queue(0), 0u);
    EXPECT_EQ(wave.queue(0), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveOutReset(wave.handle()), 0u);
    EXPECT_EQ(wave.doneCount(), 1u);
    EXPECT_EQ(wave.close(), 0u);
    EXPECT_EQ(waveOutClose(wave.handle()), MMSYSERR_INVALHANDLE);

    char16_t text[64];
    EXPECT_EQ(waveOutGetErrorTextW(WAVERR_BADFORMAT, text, 64), 0u);
    EXPECT_EQ(std::u16string(text), u"The device does not support this wave format.");
    EXPECT_EQ(waveInGetErrorTextW(500, text, 64), MMSYSERR_BADERRNUM);
    EXPECT_EQ(waveOutGetErrorTextW(0, text, 4), 0u);
    EXPECT_EQ(std::u16string(text), u"The");

    WAVEOUTCAPSW caps{};
    ASSERT_EQ(waveOutGetDevCapsW(0, &caps, sizeof caps), 0u);
    EXPECT_EQ(std::u16string(caps.szPname), kelVirtualWaveName);
    EXPECT_EQ(waveOutGetDevCapsW(waveOutGetNumDevs(), &caps, sizeof caps), MMSYSERR_BADDEVICEID);
    WAVEINCAPSW inCaps{};
    ASSERT_EQ(waveInGetDevCapsW(0, &inCaps, sizeof inCaps), 0u);
    EXPECT_EQ(std::u16string(inCaps.szPname), kelVirtualWaveName);
}

TEST_F(VirtualWave, PlaysIntoAWavFileThatHoldsExactlyWhatPlayed)
{
    const std::string path = ::testing::TempDir() + "virtual-" + std::to_string(getpid()) + ".wav";
    kelVirtualWave::instance().playInto(path);
    WAVEFORMATEXTENSIBLE ext{};
    ext.Format = kelTestPcmFormat();
    ext.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    ext.Format.cbSize = kelFormatExtExtraSize;
    ext.Samples.wValidBitsPerSample = 16;
    ext.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    ext.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    kelTestWaveHarness wave(false, 3, chunkBytes);
    ASSERT_EQ(wave.open(ext.Format), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_TRUE(advanceUntilDone(wave, 60, 3));
    ASSERT_EQ(wave.close(), 0u);

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> image(1 << 16);
    image.resize(std::fread(image.data(), 1, image.size(), file));
    std::fclose(file);
    std::remove(path.c_str());
    kelWavLayout layout;
    ASSERT_TRUE(kelWavParse(image.data(), image.size(), layout));
    EXPECT_EQ(layout.format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(std::memcmp(image.data() + 20, &ext, sizeof ext), 0);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + ptrdiff_t(layout.dataOffset), image.end()),
              concat(wave, 3));
    EXPECT_EQ(layout.dataSize, 3 * chunkBytes);
    EXPECT_EQ(kelVirtualWave::instance().playedBytes(), 3 * chunkBytes);
    EXPECT_TRUE(kelVirtualWave::instance().played().empty());
}

TEST_F(VirtualWave, TheCallLogKeepsTheNewestCallsUpToItsLimit)
{
    kelVirtualWave& device = kelVirtualWave::instance();
    device.noteCall("first");
    for (size_t i = 0; i < kelVirtualWave::kCallLogLimit; ++i)
        device.noteCall("middle");
    device.noteCall("last");
    const std::vector<std::string> log = device.callLog();
    ASSERT_EQ(log.size(), kelVirtualWave::kCallLogLimit);
    EXPECT_EQ(log.front(), "middle"); // "first" and one "middle" made room
    EXPECT_EQ(log.back(), "last");
    EXPECT_EQ(std::count(log.begin(), log.end(), "middle"), ptrdiff_t(kelVirtualWave::kCallLogLimit - 1));
}

TEST_F(VirtualWave, RecordingFillsBuffersAtTheClocksPaceAndStopReturnsThePartialOne)
{
    kelVirtualWave::instance().recordTone(1000);
    kelTestWaveHarness wave(true, 3, 480 * 2); // 10 ms of 48 kHz mono 16-bit
    ASSERT_EQ(wave.open(kelTestPcmFormat(48000, 1)), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    f_clock.advanceMs(30);
    EXPECT_EQ(wave.position(), 0u); // not started
    ASSERT_EQ(waveInStart(wave.handle()), 0u);
    ASSERT_TRUE(advanceUntilDone(wave, 10, 1));
    EXPECT_EQ(wave.header(0).dwBytesRecorded, 960u);
    // 1 kHz at 48 kHz: sample 12 is the crest, half of full scale.
    int16_t crest = 0, zero = 1;
    std::memcpy(&crest, wave.data(0).data() + 24, 2);
    std::memcpy(&zero, wave.data(0).data() + 48, 2);
    EXPECT_EQ(crest, 16384);
    EXPECT_EQ(zero, 0);
    f_clock.advanceMs(5);
    EXPECT_EQ(wave.position(), 720u);
    ASSERT_EQ(waveInStop(wave.handle()), 0u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return wave.doneCount() == 2; }));
    EXPECT_EQ(wave.header(1).dwBytesRecorded, 480u);
    f_clock.advanceMs(50);
    EXPECT_EQ(wave.position(), 720u);
    ASSERT_EQ(waveInReset(wave.handle()), 0u);
    EXPECT_EQ(wave.done(), (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(wave.header(2).dwBytesRecorded, 0u);
    EXPECT_EQ(wave.close(), 0u);
}

TEST_F(VirtualWave, RecordingFromAWavFileGivesItsSamplesThenSilence)
{
    const std::string path = ::testing::TempDir() + "source-" + std::to_string(getpid()) + ".wav";
    const WAVEFORMATEX format = kelTestPcmFormat(8000, 1, 8);
    std::FILE* file = std::fopen(path.c_str(), "w+b");
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(kelWavWriteHeader(file, format));
    const uint8_t samples[5] = {1, 2, 3, 4, 5};
    std::fwrite(samples, 1, 5, file);
    ASSERT_TRUE(kelWavFinish(file, format, 5));
    std::fclose(file);
    kelVirtualWave::instance().recordFile(path);

    kelTestWaveHarness wave(true, 1, 8);
    ASSERT_EQ(wave.open(format), 0u);
    std::remove(path.c_str());
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_EQ(waveInStart(wave.handle()), 0u);
    wave.position();
    ASSERT_TRUE(advanceUntilDone(wave, 1, 1));
    EXPECT_EQ(wave.data(0), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0x80, 0x80, 0x80}));
    EXPECT_EQ(wave.close(), 0u);
}

} // namespace

namespace {

TEST(VirtualWaveRealTime, PlaysOnTheMonotonicClockNeverAheadOfIt)
{
    kelVirtualWave::instance().restoreDefaults();
    kelTestWaveHarness wave(false, 2, chunkBytes);
    size_t written = 2;
    wave.onDone = [&](kelTestWaveHarness& w, size_t index) {
        if (written < 10) {
            ++written;
            w.queue(index);
        }
    };
    const uint64_t startUs = kelWaveClock::monotonic().nowUs();
    ASSERT_EQ(wave.open(kelTestPcmFormat()), 0u);
    ASSERT_EQ(wave.prepareAndQueueAll(), 0u);
    ASSERT_TRUE(kelTestWaitUntil([&] { return wave.doneCount() == 10; }));
    // Ten 20 ms chunks cannot have played in less than 200 ms.
    EXPECT_GE(kelWaveClock::monotonic().nowUs() - startUs, 200000u);
    EXPECT_EQ(wave.position(), 9600u);
    EXPECT_EQ(kelVirtualWave::instance().played().size(), 10 * chunkBytes);
    EXPECT_EQ(wave.close(), 0u);
    kelVirtualWave::instance().restoreDefaults();
}

} // namespace
