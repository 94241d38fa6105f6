#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "tests/support/kelTestDevices.h"

#include <gtest/gtest.h>

namespace {

using Device = kelOwned<kelTestStreamDevice>;

Device makeDevice(bool masterIsSrc = true)
{
    return kelMakeOwned<kelTestStreamDevice>(masterIsSrc);
}

// Restores the process-wide chunk rate a test changed.
struct ChunkRateGuard
{
    uintptr_t saved = defaultChunksPerSecond.load();
    ~ChunkRateGuard() { defaultChunksPerSecond.store(saved); }
};

} // namespace

TEST(kelMsAcmStreamDeviceFormatTest, ChunkSizesOfTheMasterSide)
{
    struct Case
    {
        uint32_t rate;
        uint16_t bits, channels;
        uintptr_t chunk, perSecond;
    };
    const Case cases[] = {
        {44100, 16, 2, 3528, 50}, // divides evenly
        {11025, 8, 1, 225, 49},   // 11025 bytes a second take 49 chunks
        {11025, 16, 1, 442, 50},  // 441 rounded up to the 2-byte block
        {11025, 24, 1, 1323, 25}, // 33075 bytes: stepped down to 25
        {8000, 16, 1, 320, 50},   {96000, 32, 18, 138240, 50},
    };
    for (const Case& c : cases) {
        auto device = makeDevice();
        const WAVEFORMATEX format = kelTestDevicePcm(c.rate, c.bits, c.channels);
        ASSERT_TRUE(device->setFormat(true, &format)) << c.rate << "/" << c.bits << "/" << c.channels;
        EXPECT_EQ(device->chunkSize(), c.chunk) << c.rate << "/" << c.bits << "/" << c.channels;
        EXPECT_EQ(device->chunkPerSecond(), c.perSecond) << c.rate << "/" << c.bits << "/" << c.channels;
        EXPECT_EQ(device->dstChunkSize(), 0u);
    }
}

TEST(kelMsAcmStreamDeviceFormatTest, OtherSideSetsOnlyItsOwnChunk)
{
    auto device = makeDevice(false); // master is the destination
    const WAVEFORMATEX src = kelTestDevicePcm(11025, 24, 1);
    ASSERT_TRUE(device->setFormat(true, &src));
    // The non-master side keeps the candidate rate: 33075 / 50 = 661 -> 663.
    EXPECT_EQ(device->dstChunkSize(), 663u);
    EXPECT_EQ(device->chunkSize(), 0u);
    EXPECT_EQ(device->chunkPerSecond(), 0u);

    const WAVEFORMATEX dst = kelTestDevicePcm(44100, 16, 2);
    ASSERT_TRUE(device->setFormat(false, &dst));
    EXPECT_EQ(device->chunkSize(), 3528u);
    EXPECT_EQ(device->chunkPerSecond(), 50u);
    EXPECT_EQ(device->dstFormatExt()->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(device->dstFormatExt()->dwChannelMask, 0x3u);
    EXPECT_FALSE(device->dstFormatInfo().empty());
}

TEST(kelMsAcmStreamDeviceFormatTest, OverloadSizesFollowTheirSide)
{
    auto device = kelMakeOwned<kelTestStreamDevice>(true, true, true, 5, 7);
    const WAVEFORMATEX format = kelTestDevicePcm(44100, 16, 2);
    ASSERT_TRUE(device->setFormat(true, &format));
    EXPECT_EQ(device->inOverSize(), 5u * 3528u);
    const WAVEFORMATEX dst = kelTestDevicePcm(8000, 16, 1);
    ASSERT_TRUE(device->setFormat(false, &dst));
    EXPECT_EQ(device->dstChunkSize(), 320u);
    EXPECT_EQ(device->outOverSize(), 7u * 320u);
}

TEST(kelMsAcmStreamDeviceFormatTest, ExtensibleRecordKeepsItsMask)
{
    auto device = makeDevice();
    kelFormatBlock block;
    ASSERT_NE(fillFormatExtPCM(block, 48000, 16, 16, 6, 0x60F), nullptr);
    ASSERT_TRUE(device->setFormatExt(true, block.formatExt()));
    EXPECT_EQ(device->chunkSize(), 48000u * 12u / 50u);
    ASSERT_NE(device->srcFormatExt(), nullptr);
    EXPECT_EQ(device->srcFormatExt()->dwChannelMask, 0x60Fu);
    EXPECT_EQ(device->srcFormatExt()->Format.nChannels, 6u);
}

// A crafted record must not make the device size gigabyte chunks: one
// second of 32 channels at 384 kHz, 32 bits, is the largest chunk taken.
TEST(kelMsAcmStreamDeviceFormatTest, ChunkAboveTheBoundIsRefused)
{
    ChunkRateGuard guard;
    defaultChunksPerSecond.store(1);
    auto device = makeDevice();
    const WAVEFORMATEX atLimit = kelTestDevicePcm(384000, 32, 32);
    ASSERT_TRUE(device->setFormat(true, &atLimit));
    EXPECT_EQ(device->chunkSize(), kelMaxChunkSize);
    EXPECT_EQ(kelMaxChunkSize, 49152000u);

    const WAVEFORMATEX above = kelTestDevicePcm(384001, 32, 32);
    EXPECT_FALSE(device->setFormat(true, &above));
    EXPECT_EQ(device->chunkSize(), kelMaxChunkSize); // nothing changed
    EXPECT_EQ(device->srcFormatExt()->Format.nSamplesPerSec, 384000u);

    WAVEFORMATEX huge{};
    huge.wFormatTag = WAVE_FORMAT_PCM;
    huge.nSamplesPerSec = 0xFFFFFFFFu;
    huge.nChannels = 0xFFFF;
    huge.wBitsPerSample = 0xFFF8; // close to 2^64 bits a second
    huge.nBlockAlign = 0xFFFF;
    EXPECT_FALSE(device->setFormat(false, &huge));

    WAVEFORMATEX compressed{};
    compressed.wFormatTag = 0x55;
    compressed.nSamplesPerSec = 44100;
    compressed.nChannels = 2;
    compressed.nAvgBytesPerSec = 0xFFFFFFFFu;
    compressed.nBlockAlign = 1;
    EXPECT_FALSE(device->setFormat(false, &compressed));
    EXPECT_EQ(device->dstFormatExt(), nullptr);
}

TEST(kelMsAcmStreamDeviceFormatTest, CompressedFormatUsesItsByteRateAndBlock)
{
    auto device = makeDevice();
    WAVEFORMATEX gsm{};
    gsm.wFormatTag = 0x31;
    gsm.nChannels = 1;
    gsm.nSamplesPerSec = 8000;
    gsm.nAvgBytesPerSec = 1625;
    gsm.nBlockAlign = 65;
    ASSERT_TRUE(device->setFormat(true, &gsm));
    EXPECT_EQ(device->chunkPerSecond(), 50u);
    EXPECT_EQ(device->chunkSize(), 65u); // 32 bytes rounded up to one block
}

TEST(kelMsAcmStreamDeviceFormatTest, MissingOrShortRecordIsRefused)
{
    auto device = makeDevice();
    EXPECT_FALSE(device->setFormat(true, nullptr));
    const WAVEFORMATEX format = kelTestDevicePcm(8000, 16, 1);
    EXPECT_FALSE(device->setFormat(true, &format, 16));
    EXPECT_EQ(device->chunkSize(), 0u);
}
