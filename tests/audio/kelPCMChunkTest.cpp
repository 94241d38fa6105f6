#include "audio/kelPCMChunk.h"

#include "audio/kelPCM.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(kelPCMChunkTest, SizesFollowTheFormat)
{
    kelPCMChunk chunk({44100, 16, 2});
    EXPECT_EQ(chunk.allocChunk(882), 3528u);
    EXPECT_EQ(chunk.chunkBufSize, 3528u);
    EXPECT_EQ(chunk.chunkDataLen, 0u);
    EXPECT_EQ(chunk.chunkSamples(), 0u);
    chunk.chunkDataLen = 3528;
    EXPECT_EQ(chunk.chunkSamples(), 882u);
    EXPECT_EQ(chunk.allocChunk(441), 1764u); // resizing empties it
    EXPECT_EQ(chunk.chunkDataLen, 0u);

    kelPCMChunk odd({8000, 12, 1});
    EXPECT_EQ(odd.allocChunk(3), 4u); // 36 bits, rounded down
    odd.chunkDataLen = 4;
    EXPECT_EQ(odd.chunkSamples(), 2u);

    kelPCMChunk noChannels({8000, 16, 0});
    noChannels.chunkDataLen = 100;
    EXPECT_EQ(noChannels.chunkSamples(), 0u);
    EXPECT_EQ(noChannels.allocChunk(100), 0u);
    EXPECT_EQ(noChannels.chunkData, nullptr);
}

// A crafted format whose bits × channels wraps to 0 (or to a small value)
// must neither divide by zero nor hand out a buffer too small for its count.
TEST(kelPCMChunkTest, WrappingFormatsAreRefused)
{
    const uintptr_t half = uintptr_t{1} << (sizeof(uintptr_t) * 4);
    kelPCMChunk chunk({8000, half, half});
    chunk.chunkDataLen = 100;
    EXPECT_EQ(chunk.chunkSamples(), 0u);
    EXPECT_EQ(chunk.allocChunk(16), 0u);
    EXPECT_EQ(chunk.chunkData, nullptr);

    kelPCMChunk kept({8000, 16, 1});
    ASSERT_EQ(kept.allocChunk(10), 20u);
    kept.chunkFormat.pcmNumChannels = half;
    kept.chunkFormat.pcmBitsPerSample = half;
    EXPECT_EQ(kept.allocChunk(10), 0u);
    EXPECT_EQ(kept.chunkBufSize, 20u); // the old buffer stays
    EXPECT_NE(kept.chunkData, nullptr);
}

TEST(kelPCMChunkTest, ConvertsIntoTheDestinationFormat)
{
    kelPCMChunk src({16000, 16, 1});
    ASSERT_EQ(src.allocChunk(4), 8u);
    const int16_t samples[] = {100, -100, 200, -200};
    std::memcpy(src.chunkData, samples, sizeof samples);
    src.chunkDataLen = 8;

    kelPCMChunk dst({8000, 16, 2});
    ASSERT_EQ(dst.allocChunk(2), 8u);
    EXPECT_EQ(src.convertChunk(dst), 8u);
    EXPECT_EQ(dst.chunkDataLen, 8u);
    int16_t out[4];
    std::memcpy(out, dst.chunkData, sizeof out);
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 200);
    EXPECT_EQ(out[3], 200);

    // A destination too small for the result is left empty, not overrun.
    kelPCMChunk small({48000, 16, 2});
    ASSERT_EQ(small.allocChunk(2), 8u);
    small.chunkDataLen = 8;
    EXPECT_EQ(src.convertChunk(small), 0u);
    EXPECT_EQ(small.chunkDataLen, 0u);
}
