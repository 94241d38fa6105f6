// The mixer component: streams that stay with their providers through
// linking and unlinking in every address order (a churn of three tones
// checked sample by sample and by Goertzel), two files mixed as sox mixes
// them, and what is dropped: writes without a stream, beyond the overload
// size, and from a provider whose format the mix does not have.

#include "kelPipeHarness.h"
#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWaveChains.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

namespace {

constexpr uint32_t kRate = 8000;
constexpr size_t kChunkFrames = kRate / 50;
constexpr size_t kChunkBytes = kChunkFrames * 2;

// A provider of 8000 Hz mono: its tone is a function of the sample index,
// so whatever it is linked to, its own signal runs on without a break.
struct Tone
{
    kelTestPipe* pipe;
    double hz;
    size_t written = 0; // chunks handed on
    std::string chunk(size_t index) const
    {
        return kelTestSampleBytes(kelTestSine(kChunkFrames, hz, kRate, 7000, index * kChunkFrames));
    }
};

uintptr_t queuedBytes(kelWaveMixerDevice* mixer)
{
    uintptr_t total = 0;
    for (intptr_t i = 0; i < mixer->getStreamCount(); ++i)
        total += uintptr_t(mixer->getStream(i)->getSize());
    return total;
}

double decibels(double a, double b)
{
    return 10.0 * std::log10((a + 1e-9) / (b + 1e-9));
}

} // namespace

// Three tones linked and unlinked at whole seconds, in every order of their
// addresses, while ten seconds flow through a real-time mixer (paced by a
// manual clock) into a WAV writer. Each provider keeps one chunk queued, so
// a stream that moved to another provider would splice its audio in.
TEST(kelmtlWaveMixerTest, StreamsStayWithTheirProvidersThroughChurn)
{
    kelStableTestDir dir("mixer-churn");
    const std::string out = dir.file("mix.wav");
    kelManualClock clock;

    auto* writer = kelCreate<kelmtlWaveRiff>();
    auto* mixer = kelCreate<kelmtlWaveMixer>();
    std::array<Tone, 3> tones{Tone{kelCreate<kelTestPipe>("a"), 440}, Tone{kelCreate<kelTestPipe>("b"), 1000},
                              Tone{kelCreate<kelTestPipe>("c"), 2200}};
    kelTestOwnedPipe o1(writer), o2(mixer), o3(tones[0].pipe), o4(tones[1].pipe), o5(tones[2].pipe);
    std::sort(tones.begin(), tones.end(), [](const Tone& x, const Tone& y) { return x.pipe < y.pipe; });
    for (Tone& t : tones) {
        t.pipe->setIsFormatProvider(true);
        t.pipe->setFormat(kelTestWaveBlock(kRate, 16, 1));
    }
    writer->setIsInput(false);
    writer->setFileName(utf8ToUtf16(out));
    mixer->setClock(clock);
    mixer->setRealTime(true);
    mixer->setAddSilence(true);
    mixer->setPcm_samplesPerSec(kRate);
    mixer->setPcm_numChannels(1);
    mixer->setIsFormatProvider(true);
    // The tone providers are never opened; the mixer does not follow them.
    mixer->setIgnoreProviderOptions(kelIpoNoActivation);
    ASSERT_TRUE(mixer->addConsumer(writer));
    ASSERT_TRUE(mixer->open());
    ASSERT_TRUE(writer->active());

    // Which providers (by address rank) are linked during each second: links
    // and unlinks of the lowest, middle and highest address in turn.
    const std::vector<std::set<int>> seconds = {{2},       {0, 2}, {0, 1, 2}, {1, 2}, {1},
                                                {0, 1, 2}, {0, 2}, {0, 1},    {1},    {0, 2}};
    std::set<int> linked;
    for (size_t tick = 0; tick < seconds.size() * 50; ++tick) {
        const std::set<int>& wanted = seconds[tick / 50];
        for (int i = 0; i < 3; ++i) {
            Tone& t = tones[size_t(i)];
            if (linked.count(i) && !wanted.count(i)) {
                t.pipe->removeConsumer(mixer);
                linked.erase(i);
            } else if (!linked.count(i) && wanted.count(i)) {
                ASSERT_TRUE(t.pipe->addConsumer(mixer));
                linked.insert(i);
                // One chunk ahead from the start.
                ASSERT_TRUE(t.pipe->produce(t.chunk(tick)));
            }
            if (wanted.count(i)) {
                ASSERT_TRUE(t.pipe->produce(t.chunk(tick + 1)));
            }
        }
        ASSERT_EQ(mixer->mixer()->getStreamCount(), intptr_t(linked.size()));
        const int64_t before = mixer->outBytes();
        clock.advanceMs(20);
        ASSERT_TRUE(kelTestWaitUntil([&] { return mixer->outBytes() >= before + int64_t(kChunkBytes); }))
            << tick << " out " << mixer->outBytes() << " in " << mixer->inBytes() << " timer "
            << mixer->mixer()->realTimerCount() << " rt " << mixer->mixer()->realTime() << " active "
            << mixer->active() << " chunk " << mixer->chunkSize();
        ASSERT_EQ(mixer->outBytes(), before + int64_t(kChunkBytes));
        // One chunk per linked provider waits for the next tick, no more.
        ASSERT_EQ(queuedBytes(mixer->mixer()), kChunkBytes * linked.size());
    }
    EXPECT_EQ(mixer->overloadDropBytes(), 0);
    mixer->close();
    EXPECT_FALSE(writer->active());
    writer->close();

    const auto written = kelTestReadWave(out);
    ASSERT_TRUE(written);
    ASSERT_EQ(written->data.size(), seconds.size() * kRate * 2);
    const std::vector<int16_t> mixed = kelTestBytesSamples(written->data);
    for (size_t s = 0; s < seconds.size(); ++s) {
        SCOPED_TRACE(s);
        // Sample for sample the sum of the tones linked then.
        std::vector<int16_t> expected(kRate, 0);
        for (int i : seconds[s]) {
            const std::vector<int16_t> tone = kelTestSine(kRate, tones[size_t(i)].hz, kRate, 7000, s * kRate);
            for (size_t n = 0; n < kRate; ++n)
                expected[n] = int16_t(expected[n] + tone[n]);
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), mixed.begin() + ptrdiff_t(s * kRate)));
        // Present tones stand at least 60 dB above absent ones.
        const int16_t* second = mixed.data() + s * kRate;
        double weakestPresent = 1e300, strongestAbsent = 0;
        for (int i = 0; i < 3; ++i) {
            const double power = kelTestGoertzelPower(second, kRate, tones[size_t(i)].hz, kRate);
            if (seconds[s].count(i))
                weakestPresent = std::min(weakestPresent, power);
            else
                strongestAbsent = std::max(strongestAbsent, power);
        }
        EXPECT_GE(decibels(weakestPresent, strongestAbsent), 60.0);
    }
}

// Two WAV readers paced by one manual clock feed a real-time mixer: the
// file it writes holds, sample for sample, what `sox -D -m -v 1 a -v 1 b`
// makes of the same files, clipping included.
TEST(kelmtlWaveMixerTest, TwoFilesMixLikeSox)
{
    if (!kelTestHaveSox()) GTEST_SKIP() << "sox is not installed";
    kelStableTestDir dir("mixer-sox");
    const std::string a = dir.file("a.wav"), b = dir.file("b.wav"), out = dir.file("out.wav"),
                      ref = dir.file("ref.wav");
    constexpr uint32_t rate = 44100;
    constexpr size_t frames = rate / 2; // 25 whole chunks of 882 frames
    std::vector<int16_t> left(frames * 2), right(frames * 2);
    for (size_t f = 0; f < frames; ++f) {
        // Loud enough that the sum clips on many samples.
        left[2 * f] = int16_t(std::lround(26000 * std::sin(2 * M_PI * 300 * double(f) / rate)));
        left[2 * f + 1] = int16_t(std::lround(20000 * std::sin(2 * M_PI * 500 * double(f) / rate)));
        right[2 * f] = int16_t(std::lround(24000 * std::sin(2 * M_PI * 310 * double(f) / rate)));
        right[2 * f + 1] = int16_t(-20000 + int(f % 1000) * 40);
    }
    kelTestWritePcmWave(a, rate, 2, left);
    kelTestWritePcmWave(b, rate, 2, right);
    ASSERT_EQ(std::system(("sox -D -m -v 1 '" + a + "' -v 1 '" + b + "' '" + ref + "' 2>/dev/null").c_str()),
              0);
    kelManualClock clock;

    auto* writer = kelCreate<kelmtlWaveRiff>();
    auto* mixer = kelCreate<kelmtlWaveMixer>();
    auto* readerA = kelCreate<kelmtlWaveRiff>();
    auto* readerB = kelCreate<kelmtlWaveRiff>();
    kelTestOwnedPipe o1(writer), o2(mixer), o3(readerA), o4(readerB);
    writer->setIsInput(false);
    writer->setFileName(utf8ToUtf16(out));
    mixer->setClock(clock);
    mixer->setRealTime(true);
    mixer->setAddSilence(true);
    mixer->setIsFormatProvider(true);
    // The readers' ends must not close the mix before it is written.
    mixer->setIgnoreProviderOptions(kelIpoNoActivation);
    ASSERT_TRUE(mixer->addConsumer(writer));
    for (kelmtlWaveRiff* reader : {readerA, readerB}) {
        reader->setClock(clock);
        reader->setRealTime(true);
        reader->setIsFormatProvider(true);
        reader->setFileName(utf8ToUtf16(reader == readerA ? a : b));
        ASSERT_TRUE(reader->addConsumer(mixer));
    }
    EXPECT_EQ(mixer->pcm_samplesPerSec(), rate);
    EXPECT_EQ(mixer->pcm_numChannels(), 2u);
    const int64_t chunk = int64_t(mixer->chunkSize());
    ASSERT_EQ(chunk, 882 * 4);

    // The readers tick half a chunk after the mixer, and each step waits
    // for what it started, so every mix holds one chunk of each file.
    ASSERT_TRUE(mixer->open());
    clock.advanceMs(10);
    ASSERT_TRUE(readerA->open() && readerB->open());
    int64_t lead = -1;
    for (int step = 0; step < 200 && (readerA->active() || readerB->active() || step % 2 == 1); ++step) {
        const int64_t inBefore = mixer->inBytes(), outBefore = mixer->outBytes();
        clock.advanceMs(10);
        if (step % 2 == 0) {
            ASSERT_TRUE(kelTestWaitUntil([&] { return mixer->outBytes() >= outBefore + chunk; }));
        } else {
            ASSERT_TRUE(kelTestWaitUntil([&] {
                return mixer->inBytes() >= inBefore + 2 * chunk || (!readerA->active() && !readerB->active());
            }));
            if (lead < 0 && mixer->inBytes() > 0) lead = mixer->outBytes() / chunk;
        }
    }
    mixer->close();
    writer->close();
    ASSERT_GE(lead, 0);

    const auto ours = kelTestReadWave(out);
    const auto theirs = kelTestReadWave(ref);
    ASSERT_TRUE(ours && theirs);
    ASSERT_EQ(theirs->data.size(), frames * 4);
    ASSERT_GE(ours->data.size(), size_t(lead * chunk) + theirs->data.size());
    EXPECT_EQ(ours->data.substr(0, size_t(lead * chunk)), std::string(size_t(lead * chunk), '\0'));
    EXPECT_TRUE(ours->data.compare(size_t(lead * chunk), theirs->data.size(), theirs->data) == 0);
}

// What the mixer drops, and that it reports 0 for it: writes from a
// component without a stream, writes beyond the overload size, and data of
// a provider refused for a format the mix does not have (a lone provider
// may change the format). Shortfall and level follow their provider when
// another one leaves.
TEST(kelmtlWaveMixerTest, DropsWhatHasNoPlaceAndKeepsLevelsWithTheirProviders)
{
    auto* mixer = kelCreate<kelmtlWaveMixer>();
    auto* first = kelCreate<kelTestPipe>("first");
    auto* second = kelCreate<kelTestPipe>("second");
    auto* stranger = kelCreate<kelTestPipe>("stranger");
    kelTestOwnedPipe o1(mixer), o2(first), o3(second), o4(stranger);
    for (kelTestPipe* p : {first, second, stranger}) {
        p->setIsFormatProvider(true);
        p->setFormat(kelTestWaveBlock(kRate, 16, 1));
    }
    ASSERT_TRUE(first->addConsumer(mixer));
    ASSERT_TRUE(second->addConsumer(mixer));
    EXPECT_EQ(mixer->pcm_samplesPerSec(), kRate);
    ASSERT_EQ(mixer->chunkSize(), kChunkBytes);
    const std::string chunk(kChunkBytes, '\x10');

    // No stream: not linked, or no provider named.
    EXPECT_EQ(mixer->write(chunk.data(), uint32_t(chunk.size()), stranger), 0u);
    EXPECT_EQ(mixer->write(chunk.data(), uint32_t(chunk.size()), nullptr), 0u);
    EXPECT_EQ(mixer->streamIndexOf(stranger), -1);

    // Overload: a stream takes overNum chunks, then refuses.
    size_t taken = 0;
    for (int i = 0; i < 10; ++i)
        taken += mixer->write(chunk.data(), uint32_t(chunk.size()), first) != 0;
    EXPECT_GE(taken, mixer->overNum() - 1);
    EXPECT_LE(taken, mixer->overNum() + 1);
    EXPECT_GT(mixer->overloadDropBytes(), 0);
    EXPECT_EQ(mixer->mixer()->getStream(1)->getSize(), 0);

    // Another format while a provider is linked: refused, data dropped.
    const std::vector<uint8_t> stereo = kelTestWaveBlock(44100, 16, 2);
    EXPECT_FALSE(second->sendFormatToConsumers(stereo.data(), uint32_t(stereo.size()), false, second));
    EXPECT_EQ(mixer->pcm_samplesPerSec(), kRate);
    EXPECT_EQ(mixer->pcm_numChannels(), 1u);
    EXPECT_EQ(mixer->write(chunk.data(), uint32_t(chunk.size()), second), 0u);
    EXPECT_EQ(mixer->formatDropBytes(), int64_t(chunk.size()));
    // Back to the mix format: taken again.
    const std::vector<uint8_t> mono = kelTestWaveBlock(kRate, 16, 1);
    EXPECT_TRUE(second->sendFormatToConsumers(mono.data(), uint32_t(mono.size()), false, second));
    EXPECT_EQ(mixer->write(chunk.data(), uint32_t(chunk.size()), second), chunk.size());

    // Levels: the first stream full, the second at full scale; after the
    // first provider leaves, the second keeps its own values.
    const std::string loud = kelTestSampleBytes(std::vector<int16_t>(kChunkFrames, 32767));
    kelAbstractStream* secondStream = mixer->mixer()->getStream(1);
    secondStream->remove(secondStream->getSize());
    ASSERT_EQ(mixer->write(loud.data(), uint32_t(loud.size() / 2), second), loud.size() / 2);
    (void)mixer->mixer()->mix();
    EXPECT_EQ(mixer->getSVolume(second), 100u);
    EXPECT_LT(mixer->getSVolume(first), 100u);
    EXPECT_EQ(mixer->getOOB(second), int64_t(kChunkBytes / 2));
    EXPECT_EQ(mixer->getOOB(first), 0);
    first->removeConsumer(mixer);
    EXPECT_EQ(mixer->streamIndexOf(second), 0);
    EXPECT_EQ(mixer->getSVolume(second), 100u);
    EXPECT_EQ(mixer->getOOB(second), int64_t(kChunkBytes / 2));

    // Now alone, the provider may change the format; the stream survives
    // the device being made again and still takes its data.
    const std::vector<uint8_t> wide = kelTestWaveBlock(16000, 16, 1);
    EXPECT_TRUE(second->sendFormatToConsumers(wide.data(), uint32_t(wide.size()), false, second));
    EXPECT_EQ(mixer->pcm_samplesPerSec(), 16000u);
    mixer->createDevice();
    EXPECT_EQ(mixer->mixer()->getStreamCount(), 1);
    EXPECT_EQ(mixer->write(chunk.data(), uint32_t(chunk.size()), second), chunk.size());
    EXPECT_EQ(mixer->mixer()->getStream(0)->getSize(), intptr_t(chunk.size()));
}

// A default mixer (not real time) with no provider puts nothing out.
TEST(kelmtlWaveMixerTest, MixerWithoutInputStaysIdle)
{
    auto* sink = kelCreate<kelTestPipe>("sink");
    auto* mixer = kelCreate<kelmtlWaveMixer>();
    kelTestOwnedPipe o1(sink), o2(mixer);
    EXPECT_FALSE(mixer->realTime());
    EXPECT_FALSE(mixer->addSilence());
    ASSERT_TRUE(mixer->addConsumer(sink));
    ASSERT_TRUE(mixer->open());
    EXPECT_FALSE(kelTestWaitUntil([&] { return sink->blockCount() > 0; }, 300));
    EXPECT_EQ(mixer->outBytes(), 0);
    EXPECT_TRUE(mixer->active());
}
