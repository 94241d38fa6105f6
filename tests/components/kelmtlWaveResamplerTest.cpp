// The resampler component: the destination format reaches its consumer,
// and what it hands on is what the bare device makes of the same input,
// with and without the Speex DSP library.

#include "kelPipeHarness.h"
#include "tests/support/kelTestResampler.h"
#include "tests/support/kelTestWaveChains.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

TEST(kelmtlWaveResamplerTest, HandsOnWhatTheDeviceMakesInTheDestinationFormat)
{
    const std::vector<int16_t> tone = kelTestTone(44100, 1, 44100, 440, 12000);
    const std::string input = kelTestSampleBytes(tone);
    for (bool speex : {false, true}) {
        SCOPED_TRACE(speex ? "speex" : "convertPcm");
        auto* sink = kelCreate<kelTestPipe>("sink");
        auto* resampler = kelCreate<kelmtlWaveResampler>();
        auto* provider = kelCreate<kelTestPipe>("provider");
        kelTestOwnedPipe o1(sink), o2(resampler), o3(provider);
        EXPECT_EQ(resampler->dst_SamplesPerSec(), 44100u);
        EXPECT_EQ(resampler->dst_BitsPerSample(), 16u);
        EXPECT_EQ(resampler->dst_NumChannels(), 2u);
        EXPECT_FALSE(resampler->useSpeexDSP());
        resampler->setUseSpeexDSP(speex);
        resampler->setDst_SamplesPerSec(8000);
        resampler->setDst_NumChannels(1);
        // A value no resampler takes changes nothing.
        resampler->setDst_BitsPerSample(12);
        EXPECT_EQ(resampler->dst_BitsPerSample(), 16u);
        resampler->setIsFormatProvider(true);
        resampler->setIgnoreProviderOptions(kelIpoNoActivation);
        provider->setIsFormatProvider(true);
        provider->setFormat(kelTestWaveBlock(44100, 16, 1));
        ASSERT_TRUE(resampler->addConsumer(sink));
        ASSERT_TRUE(provider->addConsumer(resampler));
        EXPECT_EQ(resampler->pcm_samplesPerSec(), 44100u);
        EXPECT_EQ(resampler->pcm_numChannels(), 1u);
        // A provider's format the resampler cannot hold (its channel
        // mapping would need gigabytes) is refused.
        const std::vector<uint8_t> huge = kelTestWaveBlock(7, 16, 27392);
        EXPECT_FALSE(provider->sendFormatToConsumers(huge.data(), uint32_t(huge.size()), false, provider));
        const std::vector<uint8_t> mono = kelTestWaveBlock(44100, 16, 1);
        EXPECT_TRUE(provider->sendFormatToConsumers(mono.data(), uint32_t(mono.size()), false, provider));

        kelWaveFormatBlockContent seen;
        const std::vector<uint8_t> block = sink->lastFormat();
        ASSERT_TRUE(kelReadWaveFormatBlock(block.data(), block.size(), seen));
        EXPECT_EQ(seen.format.formatTag, 1u);
        EXPECT_EQ(seen.format.formatOriginal.pcmSamplesPerSecond, 8000u);
        EXPECT_EQ(seen.format.formatOriginal.pcmBitsPerSample, 16u);
        EXPECT_EQ(seen.format.formatOriginal.pcmNumChannels, 1u);

        kelTestResamplerRig rig({44100, 16, 1}, {8000, 16, 1}, speex);
        ASSERT_TRUE(rig.open());
        ASSERT_TRUE(resampler->open());
        if (speex && !resampler->resampler()->speexAvailable())
            GTEST_SKIP() << "the Speex DSP library is missing";
        // Pieces of every size around a source chunk.
        for (size_t at = 0, piece = 1000; at < input.size(); at += piece, piece = piece * 7 % 5003 + 1) {
            const std::string part = input.substr(at, piece);
            ASSERT_TRUE(provider->produce(part));
            ASSERT_EQ(rig.write(part.data(), part.size()), part.size());
        }
        std::vector<uint8_t> ours;
        for (const kelTestBlock& b : sink->blocks()) {
            EXPECT_EQ(b.bytes.size(), resampler->dstChunkSize());
            ours.insert(ours.end(), b.bytes.begin(), b.bytes.end());
        }
        EXPECT_EQ(ours.size(), input.size() / 1764 * 320);
        EXPECT_EQ(ours, rig.bytes());
        // Mono on both sides suits the Speex path: it stays on.
        EXPECT_EQ(resampler->resampler()->useSpeexDSP(), speex);
    }
}
