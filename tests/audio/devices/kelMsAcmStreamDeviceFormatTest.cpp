#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "tests/support/kelTestDevices.h"

#include <gtest/gtest.h>

TEST(kelMsAcmStreamDeviceFormatTest, ChunkSizesFollowTheMasterFormat)
{
    struct Case
    {
        uint32_t rate;
        uint16_t bits, channels;
        uintptr_t chunk, perSecond;
    } const cases[] = {
        {44100, 16, 2, 3528, 50}, {11025, 8, 1, 225, 49}, {11025, 16, 1, 442, 50},
        {11025, 24, 1, 1323, 25}, {8000, 16, 1, 320, 50}, {96000, 32, 18, 138240, 50},
    };
    for (const Case& c : cases) {
        auto device = kelMakeOwned<kelTestStreamDevice>(true, 5, 7);
        const WAVEFORMATEX format = kelTestPcmFormat(c.rate, c.channels, c.bits);
        ASSERT_TRUE(device->setFormat(true, &format)) << c.rate << "/" << c.bits;
        EXPECT_EQ(device->chunkSize(), c.chunk) << c.rate << "/" << c.bits;
        EXPECT_EQ(device->chunkPerSecond(), c.perSecond) << c.rate << "/" << c.bits;
        EXPECT_EQ(device->inOverSize(), 5 * c.chunk);
    }

    // The other side keeps the candidate rate: 33075 / 50 = 661, 663 in blocks.
    auto device = kelMakeOwned<kelTestStreamDevice>(false, 5, 7);
    const WAVEFORMATEX src = kelTestPcmFormat(11025, 1, 24);
    ASSERT_TRUE(device->setFormat(true, &src));
    EXPECT_EQ(device->dstChunkSize(), 663u);
    EXPECT_EQ(device->chunkSize(), 0u);
    EXPECT_EQ(device->chunkPerSecond(), 0u);
    const WAVEFORMATEX dst = kelTestPcmFormat(8000, 1, 16);
    ASSERT_TRUE(device->setFormat(false, &dst));
    EXPECT_EQ(device->chunkSize(), 320u);
    EXPECT_EQ(device->outOverSize(), 7u * 320u);
    EXPECT_EQ(device->dstFormatExt()->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_FALSE(device->dstFormatInfo().empty());

    WAVEFORMATEX gsm{}; // a compressed record: its byte rate and block
    gsm.wFormatTag = 0x31;
    gsm.nChannels = 1;
    gsm.nSamplesPerSec = 8000;
    gsm.nAvgBytesPerSec = 1625;
    gsm.nBlockAlign = 65;
    ASSERT_TRUE(device->setFormat(false, &gsm));
    EXPECT_EQ(device->chunkSize(), 65u);
}

TEST(kelMsAcmStreamDeviceFormatTest, ExtensibleRecordKeepsItsMask)
{
    auto device = kelMakeOwned<kelTestStreamDevice>();
    kelFormatBlock block;
    ASSERT_NE(fillFormatExtPCM(block, 48000, 16, 16, 6, 0x60F), nullptr);
    ASSERT_TRUE(device->setFormatExt(true, block.formatExt()));
    EXPECT_EQ(device->chunkSize(), 48000u * 12u / 50u);
    EXPECT_EQ(device->srcFormatExt()->dwChannelMask, 0x60Fu);
}

// A crafted record must not make the device size gigabyte chunks: one
// second of 32 channels at 384 kHz, 32 bits, is the largest chunk taken.
TEST(kelMsAcmStreamDeviceFormatTest, ChunkAboveTheBoundIsRefused)
{
    const uintptr_t saved = defaultChunksPerSecond.exchange(1);
    auto device = kelMakeOwned<kelTestStreamDevice>();
    const WAVEFORMATEX atLimit = kelTestPcmFormat(384000, 32, 32);
    EXPECT_TRUE(device->setFormat(true, &atLimit));
    EXPECT_EQ(device->chunkSize(), 49152000u);
    const WAVEFORMATEX above = kelTestPcmFormat(384001, 32, 32);
    EXPECT_FALSE(device->setFormat(true, &above));
    EXPECT_EQ(device->srcFormatExt()->Format.nSamplesPerSec, 384000u); // nothing changed
    defaultChunksPerSecond.store(saved);

    WAVEFORMATEX huge{};
    huge.wFormatTag = WAVE_FORMAT_PCM;
    huge.nSamplesPerSec = 0xFFFFFFFFu;
    huge.nChannels = 0xFFFF;
    huge.wBitsPerSample = 0xFFF8; // close to 2^64 bits a second
    EXPECT_FALSE(device->setFormat(false, &huge));
    huge.wFormatTag = 0x55;
    huge.nAvgBytesPerSec = 0xFFFFFFFFu;
    huge.nBlockAlign = 1;
    EXPECT_FALSE(device->setFormat(false, &huge));
    EXPECT_EQ(device->dstFormatExt(), nullptr);
}
