// panomix's engine on the virtual wave device, paced by a manual clock:
// two sines and a WAV file mixed into 5.1 Surround and played into memory, compared sample
// by sample with what a python script computes from the same sources.

#include "apps/panomix/panomixEngine.h"
#include "apps/panomix/panomixComponentOutput.h"
#include "core/kelClock.h"
#include "platform/kelVirtualWave.h"
#include "tests/apps/panomix/panomixFakeOutput.h"
#include "tests/apps/panomix/panomixTestWav.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace {

const std::string kReference = std::string(KEL_SOURCE_DIR) + "/tests/apps/panomix/panomix_reference.py";

class panomixEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kelVirtualWave::instance().restoreDefaults();
        kelVirtualWave::instance().setClock(f_waveClock);
        auto out = std::make_unique<panomixComponentOutput>(intptr_t(kelVirtualWaveDeviceId));
        f_out = out.get();
        f_engine = std::make_unique<panomixEngine>(std::move(out));
    }
    void TearDown() override
    {
        f_engine.reset();
        kelVirtualWave::instance().restoreDefaults();
    }

    // Plays until `bytes` have reached the device.
    bool playBytes(size_t bytes)
    {
        return kelTestAdvanceUntil(
            f_clock, [&] { return kelVirtualWave::instance().played().size() >= bytes; }, 60000, 100, 50);
    }

    static std::vector<int16_t> samplesOf(const std::string& bytes)
    {
        std::vector<int16_t> out(bytes.size() / 2);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = int16_t(uint16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8)));
        return out;
    }

    kelManualClock f_clock;
    kelTestWaveClock f_waveClock{f_clock};
    panomixComponentOutput* f_out = nullptr;
    std::unique_ptr<panomixEngine> f_engine;
};

} // namespace

TEST_F(panomixEndToEndTest, TwoSinesAndAWavFileInFiveOneSurroundMatchTheReference)
{
    if (!kelTestProcess::available("python3")) GTEST_SKIP() << "python3 is not installed";
    f_engine->applyConfiguration(6);
    f_engine->sources().addSource(kelASTypeSine, u"440", 0x1 | 0x200);
    f_engine->sources().addSource(kelASTypeSine, u"880", 0x2 | 0x200);
    // 0.3 s of noise (not a whole number of chunks, so the loop seam falls
    // inside a chunk) on Front Center and Front Left.
    kelTempDir dir;
    const std::string wav = dir.file("noise.wav");
    std::mt19937 rng(7);
    std::vector<int16_t> noise(13230);
    for (int16_t& s : noise)
        s = int16_t(int(rng() % 40001) - 20000);
    ASSERT_TRUE(panomixWriteMonoWav(wav, 44100, noise));
    f_engine->sources().addSource(kelASTypeWAV, kelString(wav.begin(), wav.end()), 0x4 | 0x1);
    ASSERT_TRUE(f_engine->open(u"44100"));
    const size_t chunk = 882 * 6 * 2;
    const size_t frames = 882 * 50; // one second after the flushed silence
    ASSERT_TRUE(playBytes(12 * chunk + frames * 12));
    f_engine->close();

    const std::vector<uint8_t> played = kelVirtualWave::instance().played();
    // The flushed silence (the device may top a starting queue up with more
    // of it) comes first, in whole chunks.
    size_t lead = 0;
    while (lead < played.size() && played[lead] == 0)
        ++lead;
    lead -= lead % chunk;
    ASSERT_GE(lead, 6 * chunk);
    ASSERT_GE(played.size(), lead + frames * 12);
    const auto reference =
        kelTestProcess::filter("python3 " + kReference + " 44100 0x60F " + std::to_string(frames) +
                                   " sine:440:0x201 sine:880:0x202 wav:" + wav + ":0x5",
                               "");
    ASSERT_TRUE(reference.has_value());
    const std::vector<int16_t> expected = samplesOf(*reference);
    ASSERT_EQ(expected.size(), frames * 6);
    const std::vector<int16_t> got = samplesOf(std::string(
        played.begin() + std::ptrdiff_t(lead), played.begin() + std::ptrdiff_t(lead + frames * 12)));
    size_t exact = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        // Rounding of a sine value that lands on .5 may differ by one.
        ASSERT_LE(std::abs(got[i] - expected[i]), 1)
            << "sample " << i / 6 << " channel " << i % 6 << ": " << got[i] << " for " << expected[i];
        exact += got[i] == expected[i];
    }
    EXPECT_GE(exact, expected.size() - expected.size() / 1000);
    EXPECT_EQ(f_engine->totalMixed() % 882, 0);
}

TEST_F(panomixEndToEndTest, TheProgramsVirtualDeviceKeepsNothingOfWhatItPlays)
{
    panomixPlayVirtualIntoNothing();
    f_engine->applyConfiguration(2);
    f_engine->sources().addSource(kelASTypeSine, u"440", 0x3);
    ASSERT_TRUE(f_engine->open(u"44100"));
    // Ten chunks past the flushed silence.
    ASSERT_TRUE(kelTestAdvanceUntil(
        f_clock, [&] { return f_engine->totalMixed() >= 20 * 882; }, 60000, 100, 50));
    f_engine->close();
    EXPECT_TRUE(kelVirtualWave::instance().played().empty());
}

TEST_F(panomixEndToEndTest, LiveSourcePlaysWhatTheInputDeviceRecords)
{
    // The virtual device records a 1000 Hz tone at half of full scale.
    kelVirtualWave::instance().recordTone(1000);
    auto fake = std::make_unique<panomixFakeOutput>();
    panomixFakeOutput* out = fake.get();
    panomixEngine engine(std::move(fake));
    engine.applyConfiguration(1);
    kelAudioSource* live = engine.sources().addSource(kelASTypeLive, u"0", 0x4);
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live->name(), u"Live from Virtual wave device");
    ASSERT_TRUE(engine.open(u"8000"));
    EXPECT_TRUE(live->active());
    // Chunks are silent until the first recorded one has been swapped in.
    auto loudest = [&] {
        out->clearPlayed();
        out->complete();
        int peak = 0;
        for (size_t i = 0; i + 1 < out->played().size(); i += 2)
            peak = std::max(peak, std::abs(int(int16_t(out->played()[i] | (out->played()[i + 1] << 8)))));
        return peak;
    };
    ASSERT_TRUE(kelTestAdvanceUntil(
        f_clock, [&] { return loudest() > 16000; }, 10000, 20, 50));
    const std::vector<uint8_t> chunk = out->played();
    ASSERT_EQ(chunk.size(), 160u * 2);
    // 1000 Hz at 8000 Hz: a period of 8 samples.
    for (size_t n = 8; n < 160; ++n)
        ASSERT_NEAR(int16_t(chunk[2 * n] | (chunk[2 * n + 1] << 8)),
                    int16_t(chunk[2 * (n - 8)] | (chunk[2 * (n - 8) + 1] << 8)), 2)
            << n;
    engine.close();
    EXPECT_FALSE(live->active());
    // An input that cannot be opened leaves the source silent.
    kelAudioSource* missing = engine.sources().addSource(kelASTypeLive, u"4000", 0x4);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->name(), u"Live from ");
    engine.sources().deleteSource(0);
    ASSERT_TRUE(engine.open(u"8000"));
    EXPECT_FALSE(missing->active());
    EXPECT_EQ(loudest(), 0);
}

TEST_F(panomixEndToEndTest, TheOutputComponentTakesEveryConfiguration)
{
    f_engine->setRateText(u"44100");
    f_engine->applyConfiguration(0);
    EXPECT_EQ(f_out->pcm_numChannels(), 18u);
    EXPECT_EQ(f_out->pcm_channelMask(), 0u);
    EXPECT_EQ(f_engine->channelLabel(), u"18 channels; 1 587 600 bytes/sec");
    f_engine->applyConfiguration(6);
    EXPECT_EQ(f_out->pcm_numChannels(), 6u);
    EXPECT_EQ(f_out->pcm_channelMask(), 0x60Fu);
    f_engine->checkSpeakers(0x101);
    EXPECT_EQ(f_out->pcm_numChannels(), 2u);
    EXPECT_EQ(f_out->pcm_channelMask(), 0x101u);
    EXPECT_EQ(f_out->pcm_samplesPerSec(), 44100u);
    ASSERT_TRUE(f_engine->open(u"96000"));
    EXPECT_EQ(f_out->pcm_samplesPerSec(), 96000u);
    EXPECT_TRUE(f_out->active());
    f_engine->close();
    EXPECT_FALSE(f_out->active());
}
