// The wave component base over a pass-through device: defaults, the format
// record and what reaches the device, formats from providers, and data.

#include "kelPipeHarness.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWaveComponents.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Owned
{
    explicit Owned(kelmtlInOutPipe* p) : pipe(p) {}
    ~Owned() { kelFree(pipe); }
    kelmtlInOutPipe* pipe;
};

uint32_t deviceMask(kelTestWavePipe& pipe)
{
    const WAVEFORMATEXTENSIBLE* ext = pipe.pump()->srcFormatExt();
    return ext ? ext->dwChannelMask : 0;
}

} // namespace

TEST(kelmtlInOutWavePipeTest, DefaultsReachTheDevice)
{
    auto* pipe = kelCreate<kelTestWavePipe>();
    Owned own(pipe);
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 44100u);
    EXPECT_EQ(pipe->pcm_bitsPerSample(), 16u);
    EXPECT_EQ(pipe->pcm_numChannels(), 2u);
    EXPECT_EQ(pipe->pcm_channelMask(), 0x3u);
    EXPECT_EQ(pipe->overNum(), 6u);
    EXPECT_EQ(pipe->deviceId(), -1);
    EXPECT_EQ(pipe->formatTag(), 1u);
    EXPECT_TRUE(pipe->startDeviceOnOpen());
    EXPECT_TRUE(pipe->inputIsPcm());
    EXPECT_FALSE(pipe->realTime());
    EXPECT_EQ(pipe->driverMode(), kelcdm_acm);
    EXPECT_EQ(pipe->silenceDetectionMode(), kelsdm_none);
    EXPECT_EQ(pipe->devicesMade(), 1);
    ASSERT_NE(pipe->pump(), nullptr);
    // The record went to the device's master side: 44100/16/2 is 3528 bytes a chunk.
    EXPECT_EQ(pipe->chunkSize(), 3528u);
    EXPECT_EQ(pipe->dstChunkSize(), 3528u);
    EXPECT_EQ(deviceMask(*pipe), 0x3u);
    EXPECT_EQ(pipe->pump()->overNumIn(), 6u);
}

TEST(kelmtlInOutWavePipeTest, ChannelMaskFollowsTheCountUntilSet)
{
    auto* pipe = kelCreate<kelTestWavePipe>();
    Owned own(pipe);
    pipe->setPcm_numChannels(6);
    EXPECT_EQ(pipe->pcm_channelMask(), 0x3Fu);
    EXPECT_EQ(deviceMask(*pipe), 0x3Fu);
    EXPECT_EQ(pipe->chunkSize(), 44100u * 2 * 6 / 50);

    pipe->setPcm_channelMask(0x60F);
    pipe->setPcm_numChannels(8);
    EXPECT_EQ(pipe->pcm_numChannels(), 8u);
    EXPECT_EQ(pipe->pcm_channelMask(), 0x60Fu);
    EXPECT_EQ(deviceMask(*pipe), 0x60Fu);

    // The marker hands the mask back to the count.
    pipe->setPcm_channelMask(kelChannelMaskDefault);
    EXPECT_EQ(pipe->pcm_channelMask(), 0xFFu);
    pipe->setPcm_numChannels(6);
    EXPECT_EQ(pipe->pcm_channelMask(), 0x3Fu);

    // Values that cannot stand in a record change nothing.
    pipe->setPcm_samplesPerSec(0);
    pipe->setPcm_numChannels(0);
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 44100u);
    EXPECT_EQ(pipe->pcm_numChannels(), 6u);
}

TEST(kelmtlInOutWavePipeTest, OnlyARealChangeReopensAnActiveComponent)
{
    auto* pipe = kelCreate<kelTestWavePipe>();
    Owned own(pipe);
    pipe->setDeviceId(0);
    ASSERT_TRUE(pipe->open());
    ASSERT_EQ(pipe->deviceOpens(), 1u);

    pipe->setPcm_samplesPerSec(44100);
    pipe->setPcm_bitsPerSample(16);
    pipe->setPcm_channelMask(kelChannelMaskDefault);
    pipe->setDeviceId(0);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->deviceOpens(), 1u);
    EXPECT_EQ(pipe->devicesMade(), 2); // construction and the first device id change

    pipe->setPcm_samplesPerSec(48000);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->deviceOpens(), 2u);
    EXPECT_EQ(pipe->pump()->srcFormatExt()->Format.nSamplesPerSec, 48000u);

    // A new device id makes a new device, opened again as the old one was.
    pipe->setDeviceId(3);
    EXPECT_EQ(pipe->devicesMade(), 3);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->pump()->srcFormatExt()->Format.nSamplesPerSec, 48000u);
    pipe->close();
    EXPECT_FALSE(pipe->active());
}

TEST(kelmtlInOutWavePipeTest, ProviderFormatReachesTheConsumerAndReopensOnlyOnChange)
{
    auto* provider = kelCreate<kelTestPipe>("provider");
    auto* pipe = kelCreate<kelTestWavePipe>();
    auto* consumer = kelCreate<kelTestPipe>("consumer");
    Owned o1(consumer), o2(pipe), o3(provider);
    provider->setIsFormatProvider(true);
    pipe->setIsFormatProvider(true);
    int before = 0, after = 0;
    pipe->setOnFormatChangeBefore([&](auto*, auto*, const void*, uint32_t, bool&) { ++before; });
    pipe->setOnFormatChangeAfter([&](auto*, auto*, const void*, uint32_t) { ++after; });
    provider->setFormat(kelTestWaveBlock(48000, 16, 6, 0x60F));
    ASSERT_TRUE(pipe->addConsumer(consumer));
    ASSERT_TRUE(provider->addConsumer(pipe));
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 48000u);
    EXPECT_EQ(pipe->pcm_numChannels(), 6u);
    EXPECT_EQ(pipe->pcm_channelMask(), 0x60Fu);
    EXPECT_EQ(deviceMask(*pipe), 0x60Fu);
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
    // Passed on as this component's own block.
    kelWaveFormatBlockContent seen;
    ASSERT_TRUE(kelReadWaveFormatBlock(consumer->lastFormat().data(), consumer->lastFormat().size(), seen));
    EXPECT_EQ(seen.format.formatOriginal.pcmNumChannels, 6u);
    EXPECT_EQ(seen.format.formatChannelMask, 0x60Fu);
    EXPECT_EQ(consumer->lastFormatProvider(), pipe);

    ASSERT_TRUE(provider->open());
    ASSERT_TRUE(pipe->active());
    ASSERT_TRUE(consumer->active());
    const size_t opens = pipe->deviceOpens();
    const int consumerOpens = consumer->opens();

    // The same format again closes nothing.
    provider->clearFormatCRC();
    provider->checkFormatChange(true);
    EXPECT_EQ(before, 2);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->deviceOpens(), opens);
    EXPECT_EQ(consumer->opens(), consumerOpens);

    // A new rate reopens the component and, through it, its consumer.
    provider->setFormat(kelTestWaveBlock(32000, 16, 6, 0x60F));
    provider->checkFormatChange(true);
    EXPECT_TRUE(pipe->active());
    EXPECT_EQ(pipe->deviceOpens(), opens + 1);
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 32000u);
    ASSERT_TRUE(kelReadWaveFormatBlock(consumer->lastFormat().data(), consumer->lastFormat().size(), seen));
    EXPECT_EQ(seen.format.formatOriginal.pcmSamplesPerSecond, 32000u);
    EXPECT_TRUE(consumer->active());
    provider->close();
}

TEST(kelmtlInOutWavePipeTest, FormatBlocksThatAreRefused)
{
    auto* pipe = kelCreate<kelTestWavePipe>();
    Owned own(pipe);
    auto* provider = kelCreate<kelTestPipe>("provider");
    Owned own2(provider);
    provider->setIsFormatProvider(true);
    ASSERT_TRUE(provider->addConsumer(pipe));
    int after = 0;
    pipe->setOnFormatChangeAfter([&](auto*, auto*, const void*, uint32_t) { ++after; });

    const auto offer = [&](std::vector<uint8_t> block) {
        provider->setFormat(std::move(block));
        provider->clearFormatCRC();
        return provider->checkFormatChange(false);
    };
    // Short, and values that do not fit a record: nothing changes.
    std::vector<uint8_t> shortBlock = kelTestWaveBlock(8000, 8, 1);
    shortBlock.resize(39);
    offer(shortBlock);
    offer(kelTestWaveBlock(8000, 16, 70000));
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 44100u);
    EXPECT_EQ(after, 0);

    // A handler that refuses.
    pipe->setOnFormatChangeBefore([](auto*, auto*, const void*, uint32_t, bool& allow) { allow = false; });
    offer(kelTestWaveBlock(8000, 16, 1));
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 44100u);
    pipe->setOnFormatChangeBefore(nullptr);

    // A codec block: a bare library name is taken, a path is not.
    kelWaveFormat format{1, {8000, 16, 1}, kelChannelMaskDefault};
    std::vector<uint8_t> codec;
    kelWriteCodecFormatBlock(format, kelcdm_installable, "libcodec.so", codec);
    offer(codec);
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 8000u);
    EXPECT_EQ(pipe->driverMode(), kelcdm_installable);
    EXPECT_EQ(pipe->driverLibrary(), "libcodec.so");
    format.formatOriginal.pcmSamplesPerSecond = 16000;
    kelWriteCodecFormatBlock(format, kelcdm_openH323plugin, "/tmp/evil.so", codec);
    offer(codec);
    EXPECT_EQ(pipe->pcm_samplesPerSec(), 16000u);
    EXPECT_EQ(pipe->driverMode(), kelcdm_installable);
    EXPECT_EQ(pipe->driverLibrary(), "libcodec.so");

    // The tag follows the provider unless the component is immune to it.
    offer(kelTestWaveBlock(16000, 16, 1, kelChannelMaskDefault, 7));
    EXPECT_EQ(pipe->formatTag(), 7u);
    pipe->setFormatTagImmunable(true);
    offer(kelTestWaveBlock(16000, 16, 1, kelChannelMaskDefault, 6));
    EXPECT_EQ(pipe->formatTag(), 7u);
}

TEST(kelmtlInOutWavePipeTest, ChunksPassThroughTheDeviceOrAroundIt)
{
    auto* provider = kelCreate<kelTestPipe>("provider");
    auto* pipe = kelCreate<kelTestWavePipe>();
    auto* consumer = kelCreate<kelTestPipe>("consumer");
    Owned o1(consumer), o2(pipe), o3(provider);
    pipe->setPcm_samplesPerSec(8000);
    pipe->setPcm_numChannels(1); // 320-byte chunks
    ASSERT_TRUE(provider->addConsumer(pipe));
    ASSERT_TRUE(pipe->addConsumer(consumer));
    // With a consumer the device keeps no output stream.
    EXPECT_EQ(pipe->pump()->outStream(), nullptr);
    ASSERT_TRUE(provider->open());

    std::string chunk(320, '\0');
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 7 + 1);
    EXPECT_EQ(provider->produce(chunk + chunk), true);
    ASSERT_TRUE(consumer->waitForBlocks(2, kelTestWaitMs));
    const auto blocks = consumer->blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(std::string(blocks[0].bytes.begin(), blocks[0].bytes.end()), chunk);
    EXPECT_EQ(blocks[1].provider, pipe);

    // Without data processing a block goes on as it came, past the device.
    pipe->setEnableDataProcessing(false);
    provider->produce(std::string("abc"));
    ASSERT_TRUE(consumer->waitForBlocks(3, kelTestWaitMs));
    EXPECT_EQ(consumer->blocks()[2].bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
    provider->close();

    // Unlinking a wave consumer gives the wave provider an output stream
    // again, so its chunks can be read.
    auto* second = kelCreate<kelTestWavePipe>();
    Owned o4(second);
    ASSERT_TRUE(pipe->addConsumer(second));
    EXPECT_EQ(pipe->pump()->outStream(), nullptr);
    pipe->removeConsumer(second);
    EXPECT_NE(pipe->pump()->outStream(), nullptr);
}
