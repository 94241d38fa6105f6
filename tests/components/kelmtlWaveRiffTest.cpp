// The WAV file component: its defaults, an input that follows its file, and
// a file copied through the pipe (input → output) that sox reads back with
// every sample, and a compressed file read through the process-wide codec
// driver registry.

#include "kelPipeHarness.h"
#include "core/kelUtf.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestMpeg.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRiff.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace {

struct Owned
{
    explicit Owned(kelmtlInOutPipe* p) : pipe(p) {}
    ~Owned() { kelFree(pipe); }
    kelmtlInOutPipe* pipe;
};

} // namespace

TEST(kelmtlWaveRiffTest, NewComponentReadsNothingUntilGivenAFile)
{
    auto* riff = kelCreate<kelmtlWaveRiff>();
    Owned own(riff);
    EXPECT_TRUE(riff->isInput());
    EXPECT_TRUE(riff->autoCloseOnDone());
    EXPECT_TRUE(riff->formatTagImmunable());
    EXPECT_TRUE(riff->fileName().empty());
    ASSERT_NE(riff->waveStream(), nullptr);
    EXPECT_EQ(riff->waveStream()->status(), kelRiffNotRiff);
    EXPECT_FALSE(riff->open());
    EXPECT_EQ(riff->waveError(), 11);
    EXPECT_FALSE(riff->waveErrorAsString().empty());
}

TEST(kelmtlWaveRiffTest, InputFollowsItsFileAndOffersItsFormat)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("riff-follow");
    const std::string six = dir.file("six.wav");
    ASSERT_TRUE(kelTestSoxWave(six, 48000, 24, 6));

    auto* riff = kelCreate<kelmtlWaveRiff>();
    auto* consumer = kelCreate<kelTestPipe>("consumer");
    Owned o1(consumer), o2(riff);
    riff->setIsFormatProvider(true);
    riff->setFileName(utf8ToUtf16(six));
    EXPECT_EQ(riff->waveStream()->status(), kelRiffReading);
    EXPECT_EQ(riff->pcm_samplesPerSec(), 48000u);
    EXPECT_EQ(riff->pcm_bitsPerSample(), 24u);
    EXPECT_EQ(riff->pcm_numChannels(), 6u);
    EXPECT_EQ(riff->pcm_channelMask(), 0x3Fu);
    EXPECT_EQ(riff->formatTag(), 1u);
    EXPECT_EQ(riff->chunkSize(), 48000u * 3 * 6 / 50);

    ASSERT_TRUE(riff->addConsumer(consumer));
    kelWaveFormatBlockContent seen;
    ASSERT_TRUE(kelReadWaveFormatBlock(consumer->lastFormat().data(), consumer->lastFormat().size(), seen));
    EXPECT_EQ(seen.format.formatTag, 1u);
    EXPECT_EQ(seen.format.formatOriginal.pcmSamplesPerSecond, 48000u);
    EXPECT_EQ(seen.format.formatOriginal.pcmBitsPerSample, 24u);
    EXPECT_EQ(seen.format.formatOriginal.pcmNumChannels, 6u);

    // A provider's format does not change what a file holds.
    riff->removeConsumer(consumer);
    auto* provider = kelCreate<kelTestPipe>("provider");
    Owned o3(provider);
    provider->setIsFormatProvider(true);
    provider->setFormat(kelTestWaveBlock(8000, 16, 1));
    ASSERT_TRUE(provider->addConsumer(riff));
    EXPECT_EQ(riff->pcm_samplesPerSec(), 48000u);
}

TEST(kelmtlWaveRiffTest, FileCopiedThroughThePipeKeepsEverySample)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("riff-copy");
    const std::string in = dir.file("in.wav");
    const std::string out = dir.file("out.wav");
    const std::string tmp = dir.file("tmp.bin");
    ASSERT_TRUE(kelTestSoxWave(in, 48000, 16, 2, "signed-integer", 0.51));
    std::ofstream(tmp) << "scratch";

    auto* input = kelCreate<kelmtlWaveRiff>();
    auto* output = kelCreate<kelmtlWaveRiff>();
    Owned o1(output), o2(input);
    input->setIsFormatProvider(true);
    input->setFileName(utf8ToUtf16(in));
    input->setTmpToKill(utf8ToUtf16(tmp));
    std::atomic<int> done{0};
    input->setOnStreamIsDone([&](kelmtlWaveRiff* sender) {
        EXPECT_EQ(sender, input);
        done.fetch_add(1);
    });
    output->setIsInput(false);
    output->setFileName(utf8ToUtf16(out));
    ASSERT_TRUE(input->addConsumer(output));
    // The input's format reached the output before it opened.
    EXPECT_EQ(output->pcm_samplesPerSec(), 48000u);
    EXPECT_EQ(output->pcm_numChannels(), 2u);

    ASSERT_TRUE(input->open());
    EXPECT_TRUE(output->active());
    // The end of the file closes the input and, after it, the output.
    ASSERT_TRUE(kelTestWaitUntil([&] { return !input->active() && !output->active(); }, 20000));
    // A closing component is already inactive; these wait for the automatic
    // close to finish, so the file's sizes are written before it is read.
    input->close();
    output->close();
    EXPECT_GE(done.load(), 1);
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_TRUE(input->tmpToKill().empty());

    const auto original = kelTestSoxRaw(in);
    const auto copied = kelTestSoxRaw(out);
    ASSERT_TRUE(original && copied);
    EXPECT_EQ(kelTestSoxInfo(out, 'r'), "48000");
    EXPECT_EQ(kelTestSoxInfo(out, 'c'), "2");
    // Every sample in order; the last chunk is filled up with silence.
    const size_t chunk = 48000 * 4 / 50;
    ASSERT_EQ(copied->size(), (original->size() + chunk - 1) / chunk * chunk);
    EXPECT_TRUE(copied->compare(0, original->size(), *original) == 0);
    EXPECT_EQ(copied->find_first_not_of('\0', original->size()), std::string::npos);
}

TEST(kelmtlWaveRiffTest, MpegAudioFileGivesTheMpegTagAndItsRate)
{
    kelStableTestDir dir("riff-mpeg");
    const std::string name = dir.file("a.mp3");
    std::string frames;
    for (int i = 0; i < 3; ++i) {
        kelTestMpegFrame f; // MPEG-1 Layer III, 128 kbit/s, 44 100 Hz
        f.mode = 3;         // mono
        frames += kelTestMpegFrameBytes(f);
    }
    std::ofstream(name, std::ios::binary) << frames;

    auto* riff = kelCreate<kelmtlWaveRiff>();
    Owned own(riff);
    riff->setFileName(utf8ToUtf16(name));
    EXPECT_EQ(riff->waveStream()->status(), kelRiffReading);
    EXPECT_EQ(riff->waveStream()->fileType(), kelRiffFileMpeg);
    EXPECT_EQ(riff->formatTag(), 85u);
    EXPECT_EQ(riff->pcm_samplesPerSec(), 44100u);
    EXPECT_EQ(riff->pcm_numChannels(), 1u);
}

// With the process-wide registry a compressed WAV file is read: IMA ADPCM
// from sox comes out as the samples sox decodes from it.
TEST(kelmtlWaveRiffTest, ImaAdpcmFileReadsAsSoxDecodesIt)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("riff-ima");
    const std::string name = dir.file("ima.wav");
    ASSERT_TRUE(kelTestSoxWave(name, 8000, 4, 1, "ima-adpcm", 0.73));
    const auto decoded = kelTestProcess::filter("sox '" + name + "' -t raw -e signed-integer -b 16 -", "");
    ASSERT_TRUE(decoded && !decoded->empty());

    auto* sink = kelCreate<kelTestPipe>("sink");
    auto* riff = kelCreate<kelmtlWaveRiff>();
    Owned o1(sink), o2(riff);
    riff->setIsFormatProvider(true);
    riff->setFileName(utf8ToUtf16(name));
    ASSERT_EQ(riff->waveStream()->status(), kelRiffReading);
    EXPECT_EQ(riff->pcm_samplesPerSec(), 8000u);
    EXPECT_EQ(riff->pcm_bitsPerSample(), 16u);
    ASSERT_TRUE(riff->addConsumer(sink));
    ASSERT_TRUE(riff->open());
    ASSERT_TRUE(kelTestWaitUntil([&] { return !riff->active(); }, 20000));
    riff->close();
    std::string ours;
    for (const kelTestBlock& block : sink->blocks())
        ours.append(block.bytes.begin(), block.bytes.end());
    // Every decoded sample in order; a last chunk is filled up with silence.
    ASSERT_GE(ours.size(), decoded->size());
    EXPECT_TRUE(ours.compare(0, decoded->size(), *decoded) == 0);
    EXPECT_EQ(ours.find_first_not_of('\0', decoded->size()), std::string::npos);
}
