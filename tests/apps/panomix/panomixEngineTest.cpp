// The panomix engine without windows: configurations, channel map, labels,
// rates, sources and the feed loop over a fake output.

#include "apps/panomix/panomixEngine.h"
#include "apps/panomix/panomixSettings.h"
#include "core/kelIniFile.h"
#include "tests/apps/panomix/panomixFakeOutput.h"
#include "tests/apps/panomix/panomixTestWav.h"
#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>

namespace {

// A source whose every sample is the number its parameter gives.
class constantSource final : public kelAudioSource
{
public:
    explicit constantSource(const kelString& param) : kelAudioSource(kelASTypeSine, param) {}

protected:
    void rateChanged(uintptr_t) override { fill(); }
    bool getActive() override { return f_open; }
    void doStart() override { f_open = true; }
    void doStop() override { f_open = false; }
    void doPrepareNextChunk() override { fill(); }

private:
    void fill()
    {
        f_chunk.assign(f_chunkSizeInSamples, int16_t(std::stoi(std::string(f_param.begin(), f_param.end()))));
    }
    bool f_open = false;
};

kelAudioSource* makeConstant(intptr_t, const kelString& param)
{
    return kelCreate<constantSource>(param);
}

struct engineUnderTest
{
    explicit engineUnderTest(panomixSources::factory make = panomixMakeSource)
    {
        auto fake = std::make_unique<panomixFakeOutput>();
        out = fake.get();
        engine = std::make_unique<panomixEngine>(std::move(fake), std::move(make));
    }
    panomixFakeOutput* out;
    std::unique_ptr<panomixEngine> engine;
};

int16_t sampleAt(const std::vector<uint8_t>& bytes, size_t index)
{
    return int16_t(uint16_t(bytes[2 * index] | (bytes[2 * index + 1] << 8)));
}

} // namespace

TEST(panomixEngineTest, FiveOneSurroundMapsSideLeftToChannelFour)
{
    engineUnderTest t(makeConstant);
    const panomixShownMask shown = t.engine->applyConfiguration(6);
    EXPECT_EQ(shown.mask, 0x60Fu);
    EXPECT_EQ(shown.channels, 6);
    EXPECT_EQ(shown.configIndex, 6);
    EXPECT_EQ(t.out->pcm_numChannels(), 6u);
    EXPECT_EQ(t.out->pcm_channelMask(), 0x60Fu);
    t.engine->buildChannelMap();
    const panomixChannelMap& map = t.engine->channelMap();
    const intptr_t expected[] = {0, 1, 2, 3, 9, 10};
    for (size_t k = 0; k < kelSpeakerCount; ++k)
        EXPECT_EQ(map[k], k < 6 ? expected[k] : -1) << k;

    // A source on Side Left sounds in channel 4 and nowhere else.
    t.engine->sources().addSource(kelASTypeSine, u"1000", 0x200);
    ASSERT_TRUE(t.engine->open(u"8000"));
    t.out->clearPlayed();
    ASSERT_TRUE(t.out->complete());
    const std::vector<uint8_t>& played = t.out->played();
    ASSERT_EQ(played.size(), 160u * 6 * 2);
    for (size_t frame = 0; frame < 160; ++frame)
        for (size_t ch = 0; ch < 6; ++ch) {
            ASSERT_EQ(sampleAt(played, frame * 6 + ch), ch == 4 ? 1000 : 0);
        }
}

TEST(panomixEngineTest, DirectOutAndCustomMasks)
{
    engineUnderTest t;
    panomixShownMask shown = t.engine->applyConfiguration(0);
    EXPECT_EQ(shown.mask, 0u);
    EXPECT_EQ(shown.channels, 18);
    for (bool present : shown.present)
        EXPECT_TRUE(present);
    t.engine->buildChannelMap();
    for (size_t k = 0; k < kelSpeakerCount; ++k) {
        EXPECT_EQ(t.engine->channelMap()[k], intptr_t(k));
    }

    // Front Left and Back Center by hand.
    shown = t.engine->checkSpeakers(0x101);
    EXPECT_EQ(shown.configIndex, panomixCustomConfig);
    EXPECT_EQ(shown.channels, 2);
    EXPECT_EQ(t.engine->customMask(), 0x101u);
    EXPECT_EQ(kelString(panomixConfigurations[size_t(shown.configIndex)].text), u"Custom ... >");
    // Another item, then "Custom ... >" again: the hand-made mask returns.
    t.engine->applyConfiguration(2);
    EXPECT_EQ(t.engine->applyConfiguration(9).mask, 0x101u);
    // A mask that happens to equal a configuration shows as that item.
    EXPECT_EQ(t.engine->checkSpeakers(0x33).configIndex, 3);
    // No speaker checked is "Direct Out".
    EXPECT_EQ(t.engine->checkSpeakers(0).configIndex, 0);
    EXPECT_EQ(t.engine->checkSpeakers(0).channels, 18);
    // An unknown index keeps the mask.
    t.engine->applyConfiguration(7);
    EXPECT_EQ(t.engine->applyConfiguration(42).mask, 0xFFu);
}

TEST(panomixEngineTest, ChannelLabelAndMixedTexts)
{
    engineUnderTest t;
    t.engine->applyConfiguration(2);
    t.engine->setRateText(u"44100");
    EXPECT_EQ(t.engine->channelLabel(), u"2 channels; 176 400 bytes/sec");
    t.engine->applyConfiguration(1);
    t.engine->setRateText(u"8000");
    EXPECT_EQ(t.engine->channelLabel(), u"1 channel; 16 000 bytes/sec");
    t.engine->applyConfiguration(0);
    t.engine->setRateText(u"96000");
    EXPECT_EQ(t.engine->channelLabel(), u"18 channels; 3 456 000 bytes/sec");
    EXPECT_EQ(mixedLabelText(0), u"Mixed: 0 samples");
    EXPECT_EQ(mixedLabelText(999), u"Mixed: 999 samples");
    EXPECT_EQ(mixedLabelText(1234567), u"Mixed: 1 234 567 samples");
    EXPECT_EQ(groupedDecimal(-1234), u"-1 234");
}

TEST(panomixEngineTest, RatesThatNoDeviceTakesCountAsTheDefault)
{
    EXPECT_EQ(samplingRateOf(kelString(u"96000")), 96000u);
    EXPECT_EQ(samplingRateOf(kelString(u"384000")), 384000u);
    for (const char16_t* bad : {u"0", u"-8000", u"384001", u"99999999999", u"n/a", u"loud", u""})
        EXPECT_EQ(samplingRateOf(kelString(bad)), 44100u);
    engineUnderTest t;
    t.engine->sources().addSource(kelASTypeSine, u"440", 1);
    EXPECT_EQ(t.engine->setRateText(u"0"), 44100u);
    EXPECT_EQ(t.engine->sources().getSource(0)->chunkSizeInSamples(), 882u);
    ASSERT_TRUE(t.engine->open(u"-1"));
    EXPECT_EQ(t.out->pcm_samplesPerSec(), 44100u);
}

TEST(panomixEngineTest, FeedFillsTwentyMillisecondsPerChannelAndCountsThem)
{
    engineUnderTest t;
    t.engine->applyConfiguration(2);
    t.engine->sources().addSource(kelASTypeSine, u"440", 0x1);
    t.engine->sources().addSource(kelASTypeSine, u"880", 0x3);
    ASSERT_TRUE(t.engine->open(u"44100"));
    EXPECT_EQ(t.engine->sources().getSource(0)->chunkSizeInSamples(), 882u);
    // The flush keeps six chunks of silence in flight.
    EXPECT_EQ(t.out->queued(), 6u);
    EXPECT_EQ(t.out->played().size(), 6u * 882 * 2 * 2);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(t.out->complete());
    }
    EXPECT_EQ(t.out->queued(), 6u);
    // Three contributions of 882 samples per feed.
    EXPECT_EQ(t.engine->totalMixed(), 6 * 3 * 882);

    // After close a late completion produces nothing and writes nothing.
    t.engine->close();
    const size_t before = t.out->played().size();
    const std::vector<uint8_t> late = t.out->completeLate(882 * 4);
    EXPECT_EQ(late[0], 0x55);
    EXPECT_EQ(t.out->played().size(), before);
    EXPECT_FALSE(t.engine->playing());
}

TEST(panomixEngineTest, AnOutputThatDoesNotOpenLeavesEverythingStopped)
{
    engineUnderTest t;
    t.engine->sources().addSource(kelASTypeSine, u"440", 0x1);
    t.out->refuseOpen = true;
    EXPECT_FALSE(t.engine->open(u"44100"));
    EXPECT_FALSE(t.engine->playing());
    EXPECT_FALSE(t.engine->sources().getSource(0)->active());
    EXPECT_EQ(t.out->queued(), 0u);
}

TEST(panomixEngineTest, SourcesOnOneSpeakerSaturateInsteadOfWrapping)
{
    engineUnderTest t(makeConstant);
    t.engine->applyConfiguration(2);
    t.engine->sources().addSource(0, u"30000", 0x1);
    t.engine->sources().addSource(0, u"10000", 0x1);
    t.engine->sources().addSource(0, u"-30000", 0x2);
    t.engine->sources().addSource(0, u"-10000", 0x2);
    t.engine->sources().addSource(0, u"1234", 0); // mapped nowhere
    ASSERT_TRUE(t.engine->open(u"8000"));
    t.out->clearPlayed();
    ASSERT_TRUE(t.out->complete());
    const std::vector<uint8_t>& played = t.out->played();
    ASSERT_EQ(played.size(), 160u * 2 * 2);
    for (size_t frame = 0; frame < 160; ++frame) {
        ASSERT_EQ(sampleAt(played, 2 * frame), 32767);
        ASSERT_EQ(sampleAt(played, 2 * frame + 1), -32768);
    }
    EXPECT_FALSE(t.engine->sources().contributeSource(-1, 0, nullptr, 0, 1));
    EXPECT_FALSE(t.engine->sources().contributeSource(0, 99, nullptr, 0, 1));
    EXPECT_EQ(t.engine->totalMixed(), 4 * 160);
}

TEST(panomixEngineTest, SineRepeatsEveryEightSamplesAtAThousandHertzOfEightThousand)
{
    kelOwned<kelASSine> sine(kelCreate<kelASSine>(u"1000"));
    sine->setRate(8000);
    EXPECT_EQ(sine->chunkSizeInSamples(), 160u);
    sine->open();
    EXPECT_TRUE(sine->active());
    sine->prepareNextChunk();
    const std::vector<int16_t> chunk = sine->chunk();
    int16_t peak = 0;
    for (size_t i = 0; i < chunk.size(); ++i) {
        EXPECT_EQ(chunk[i], int16_t(std::lround(std::sin(2 * std::numbers::pi * double(i) / 8) * 12287)));
        if (i >= 8) {
            EXPECT_EQ(chunk[i], chunk[i - 8]);
        }
        peak = std::max(peak, chunk[i]);
    }
    EXPECT_EQ(peak, 12287);
    // A chunk that was not mixed stays; one that was is replaced, and the
    // phase runs on (160 samples are 20 whole periods, so the same chunk).
    sine->prepareNextChunk();
    EXPECT_EQ(sine->chunk(), chunk);
    int16_t scratch[160]{};
    sine->fillChunk(scratch, 160, 1);
    sine->prepareNextChunk();
    EXPECT_EQ(sine->chunk(), chunk);
    sine->close();
    EXPECT_FALSE(sine->active());
}

TEST(panomixEngineTest, SineWithoutANumberPlaysFourThousandHertzUnderItsOwnName)
{
    kelOwned<kelASSine> sine(kelCreate<kelASSine>(u"n/a"));
    EXPECT_EQ(sine->frequency(), 4000);
    EXPECT_EQ(sine->name(), u"Sine, freq=n/a Hz");
    EXPECT_EQ(kelOwned<kelASSine>(kelCreate<kelASSine>(u"440"))->name(), u"Sine, freq=440 Hz");
}

TEST(panomixEngineTest, SinePhaseStaysWithinATurnForAnyFrequency)
{
    // Zero, negative, at and above half the rate, and huge: each chunk is
    // what sin(n x 2 pi f / rate) gives, and the phase stays in [0, 2 pi).
    for (const char16_t* freq :
         {u"0", u"-440", u"22050", u"30000", u"1000000000000000", u"-9000000000000000000"}) {
        kelOwned<kelASSine> sine(kelCreate<kelASSine>(freq));
        sine->setRate(44100);
        sine->open();
        const double turn =
            std::fmod(2 * std::numbers::pi * double(sine->frequency()) / 44100, 2 * std::numbers::pi);
        int16_t scratch[882]{};
        for (int c = 0; c < 50; ++c) {
            sine->prepareNextChunk();
            sine->fillChunk(scratch, 882, 1);
            ASSERT_GE(sine->angle(), 0.0);
            ASSERT_LT(sine->angle(), 2 * std::numbers::pi);
        }
        sine->prepareNextChunk();
        const double start = std::fmod(50.0 * 882 * turn, 2 * std::numbers::pi);
        for (size_t i = 0; i < 882; i += 97) {
            const double expected = std::sin(start + double(i) * turn) * 12287;
            EXPECT_NEAR(sine->chunk()[i], expected, 2.0) << std::string(freq, freq + 1) << " sample " << i;
        }
    }
    kelOwned<kelASSine> silent(kelCreate<kelASSine>(u"0"));
    silent->setRate(8000);
    silent->open();
    silent->prepareNextChunk();
    for (int16_t s : silent->chunk())
        EXPECT_EQ(s, 0);
}

TEST(panomixEngineTest, ARateChangeClosesTheSourceAndZeroesItsChunk)
{
    kelOwned<kelASSine> sine(kelCreate<kelASSine>(u"440"));
    sine->setRate(44100);
    EXPECT_EQ(sine->chunkSizeInSamples(), 882u);
    sine->open();
    sine->prepareNextChunk();
    sine->setRate(96000);
    EXPECT_FALSE(sine->active());
    EXPECT_EQ(sine->chunkSizeInSamples(), 1920u);
    EXPECT_EQ(sine->byteRate(), 192000u);
    for (int16_t s : sine->chunk())
        ASSERT_EQ(s, 0);
}

TEST(panomixEngineTest, SettingsKeepTheSourcesAndTheConfiguration)
{
    kelTempDir dir;
    const std::string path = dir.path() + "/panomix.ini";
    {
        kelIniFile ini(kelString(path.begin(), path.end()), u"settings", 1000, true);
        panomixSettings defaults = panomixSettings::load(ini);
        EXPECT_EQ(defaults.configIndex, 1);
        EXPECT_EQ(defaults.configMask, 3u);
        EXPECT_EQ(defaults.samplingRate, 44100);
        EXPECT_EQ(defaults.riffFile, u"test.wav");
        EXPECT_TRUE(defaults.autoExpand);
        EXPECT_TRUE(defaults.viewFromSpeakers);
        EXPECT_TRUE(defaults.sources.empty());

        engineUnderTest t;
        t.engine->sources().addSource(kelASTypeSine, u"440", 0x3);
        t.engine->sources().addSource(kelASTypeSine, u"880", 0x101);
        panomixSettings s;
        s.configIndex = 9;
        s.configMask = 0x101;
        s.samplingRate = 48000;
        s.riffFile = u"/tmp/a b.wav";
        s.autoExpand = false;
        s.viewFromSpeakers = false;
        s.sources = panomixSettings::of(t.engine->sources());
        EXPECT_TRUE(s.save(ini));
    }
    kelIniFile ini(kelString(path.begin(), path.end()), u"settings", 1000, true);
    EXPECT_EQ(ini.get(u"wave.config.mask", intptr_t(0)), 0x101);
    EXPECT_EQ(ini.get(u"source.1.param", kelString()), u"880");
    EXPECT_EQ(ini.get(u"gui.autoExpand", true), false);
    const panomixSettings s = panomixSettings::load(ini);
    EXPECT_EQ(s.configIndex, 9);
    EXPECT_EQ(s.samplingRate, 48000);
    EXPECT_EQ(s.riffFile, u"/tmp/a b.wav");
    EXPECT_FALSE(s.autoExpand);
    EXPECT_FALSE(s.viewFromSpeakers);

    engineUnderTest restored;
    for (const panomixSourceSetting& source : s.sources)
        restored.engine->sources().addSource(source.stype, source.param, source.mask);
    ASSERT_EQ(restored.engine->sources().sourceCount(), 2u);
    auto* first = dynamic_cast<kelASSine*>(restored.engine->sources().getSource(0));
    auto* second = dynamic_cast<kelASSine*>(restored.engine->sources().getSource(1));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->frequency(), 440);
    EXPECT_EQ(second->frequency(), 880);
    EXPECT_EQ(first->mapping(), 0x3u);
    EXPECT_EQ(second->mapping(), 0x101u);
}

TEST(panomixEngineTest, WavSourcePlaysItsFileFromTheFirstChunkAndLoops)
{
    kelTempDir dir;
    const std::string path = dir.file("ramp.wav");
    std::vector<int16_t> ramp(800);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = int16_t(i * 7 - 2000);
    ASSERT_TRUE(panomixWriteMonoWav(path, 8000, ramp));

    engineUnderTest t;
    t.engine->applyConfiguration(1); // mono: Front Center
    kelAudioSource* wav =
        t.engine->sources().addSource(kelASTypeWAV, kelString(path.begin(), path.end()), 0x4);
    ASSERT_NE(wav, nullptr);
    EXPECT_EQ(wav->name(), u"WAVE file [" + kelString(path.begin(), path.end()) + u"]");
    ASSERT_TRUE(t.engine->open(u"8000"));
    // A passive open does not make the file stream open.
    EXPECT_FALSE(wav->active());
    t.out->clearPlayed();
    // Seven chunks of 160: the file's five, then its first two again.
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(t.out->complete());
    }
    const std::vector<uint8_t>& played = t.out->played();
    ASSERT_EQ(played.size(), 7u * 160 * 2);
    for (size_t n = 0; n < 7 * 160; ++n)
        ASSERT_EQ(sampleAt(played, n), ramp[n % 800]) << n;
}

TEST(panomixEngineTest, WavSourceWithoutAFileStaysSilent)
{
    engineUnderTest t;
    t.engine->applyConfiguration(1);
    ASSERT_NE(t.engine->sources().addSource(kelASTypeWAV, u"/nonexistent/none.wav", 0x4), nullptr);
    ASSERT_TRUE(t.engine->open(u"8000"));
    t.out->clearPlayed();
    ASSERT_TRUE(t.out->complete());
    ASSERT_TRUE(t.out->complete());
    for (uint8_t b : t.out->played())
        ASSERT_EQ(b, 0);
}
