#include "audio/kelWaveResampler.h"

#include "audio/kelPCM.h"
#include "tests/support/kelTestResampler.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

std::vector<uint8_t> ramp(size_t bytes)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = uint8_t(i * 7 + i / 251);
    return out;
}

// What convertPcm makes of `data`, one source chunk at a time.
std::vector<uint8_t> convertedByChunks(const std::vector<uint8_t>& data, size_t srcChunkFrames,
                                       const kelTestPcmSide& s, const kelTestPcmSide& d)
{
    const size_t srcFrame = s.channels * s.bits / 8;
    std::vector<uint8_t> out;
    for (size_t at = 0; at + srcChunkFrames * srcFrame <= data.size(); at += srcChunkFrames * srcFrame) {
        std::vector<uint8_t> chunk(
            convertPcmSize(srcChunkFrames, s.channels, d.channels, s.bits, d.bits, s.rate, d.rate));
        const size_t n = convertPcm(data.data() + at, chunk.data(), srcChunkFrames, s.channels, d.channels,
                                    s.bits, d.bits, s.rate, d.rate);
        out.insert(out.end(), chunk.begin(), chunk.begin() + ptrdiff_t(n));
    }
    return out;
}

} // namespace

TEST(kelWaveResamplerTest, CollectsSmallWritesIntoWholeChunksAndFlushPadsTheTail)
{
    const kelTestPcmSide src{44100, 16, 1}, dst{8000, 16, 1};
    kelTestResamplerRig rig(src, dst, false);
    ASSERT_TRUE(rig.open());
    EXPECT_EQ(rig.device->chunkSize(), 1764u);
    EXPECT_EQ(rig.device->dstChunkSize(), 320u);
    const auto data = ramp(2000);
    EXPECT_EQ(rig.write(data.data(), 1000), 1000u);
    EXPECT_EQ(rig.chunkCount(), 0u);
    EXPECT_EQ(rig.write(data.data() + 1000, 1000), 1000u);
    ASSERT_EQ(rig.chunkCount(), 1u);
    EXPECT_EQ(rig.chunks()[0], convertedByChunks(data, 882, src, dst));

    // The 236 collected bytes come out on flush, padded with silence.
    ASSERT_TRUE(rig.device->flush(true));
    ASSERT_EQ(rig.chunkCount(), 2u);
    std::vector<uint8_t> tail(data.begin() + 1764, data.end());
    tail.resize(1764, 0);
    EXPECT_EQ(rig.chunks()[1], convertedByChunks(tail, 882, src, dst));
    EXPECT_TRUE(rig.device->flush(true)); // nothing left: no chunk
    EXPECT_EQ(rig.chunkCount(), 2u);
}

TEST(kelWaveResamplerTest, BlocksOfSeveralChunksConvertEveryChunkInOrder)
{
    const kelTestPcmSide src{48000, 16, 2}, dst{16000, 8, 2};
    kelTestResamplerRig rig(src, dst, false);
    ASSERT_TRUE(rig.open());
    const size_t chunk = rig.device->chunkSize();
    ASSERT_EQ(chunk, 3840u);
    const auto data = ramp(chunk * 5);
    // A small write first, then one block of three and a half chunks, then
    // the rest: the collected bytes stay ahead of the block.
    ASSERT_EQ(rig.write(data.data(), 100), 100u);
    ASSERT_EQ(rig.write(data.data() + 100, chunk * 7 / 2), chunk * 7 / 2);
    EXPECT_EQ(rig.chunkCount(), 3u);
    const size_t done = 100 + chunk * 7 / 2;
    ASSERT_EQ(rig.write(data.data() + done, data.size() - done), data.size() - done);
    EXPECT_EQ(rig.chunkCount(), 5u);
    EXPECT_EQ(rig.bytes(), convertedByChunks(data, 960, src, dst));
    EXPECT_EQ(rig.device->inBytes(), int64_t(data.size()));
}

TEST(kelWaveResamplerTest, SetSamplingRefusesFormatsItCannotConvert)
{
    struct Case
    {
        kelTestPcmSide src;
        kelTestPcmSide dst;
        bool ok;
    };
    const Case cases[] = {
        {{44100, 16, 2}, {48000, 16, 2}, true},       {{1, 16, 1}, {8000, 16, 1}, false},
        {{3, 16, 1}, {8000, 16, 1}, false},           {{8000, 16, 1}, {3, 16, 1}, false},
        {{0, 16, 1}, {8000, 16, 1}, false},           {{8000, 12, 1}, {8000, 16, 1}, false},
        {{8000, 16, 1}, {8000, 20, 1}, false},        {{8000, 16, 0}, {8000, 16, 1}, false},
        {{4000000000u, 16, 1}, {8000, 16, 1}, false}, {{8000, 16, 1}, {384001, 16, 1}, false},
        {{384000, 32, 65535}, {8000, 16, 1}, false},  {{7, 8, 1}, {8000, 24, 1}, true},
    };
    for (const Case& c : cases) {
        auto device = kelMakeOwned<kelWaveResampler>(false, uintptr_t(0));
        ASSERT_TRUE(device);
        const bool srcOk = device->setSampling(true, c.src.rate, c.src.bits, c.src.channels);
        const bool dstOk = device->setSampling(false, c.dst.rate, c.dst.bits, c.dst.channels);
        EXPECT_EQ(srcOk && dstOk, c.ok)
            << c.src.rate << " " << c.src.bits << " -> " << c.dst.rate << " " << c.dst.bits;
    }
}

TEST(kelWaveResamplerTest, ChunkPairsLastExactlyAsLongOnBothSides)
{
    struct Case
    {
        uintptr_t src, dst, srcSamples, dstSamples;
    };
    const Case cases[] = {
        {44100, 8000, 882, 160},
        {44100, 11025, 1764, 441},
        {48000, 44100, 960, 882},
        // No common divisor with the chunk rate: the chunks still pair up.
        {44101, 48000, 44101, 48000},
        {7, 8000, 7, 8000},
    };
    for (const Case& c : cases) {
        auto device = kelMakeOwned<kelWaveResampler>(false, uintptr_t(0));
        ASSERT_TRUE(device->setSampling(true, c.src, 16, 1));
        ASSERT_TRUE(device->setSampling(false, c.dst, 16, 1));
        EXPECT_EQ(device->srcChunkSamples(), c.srcSamples) << c.src << " -> " << c.dst;
        EXPECT_EQ(device->dstChunkSamples(), c.dstSamples) << c.src << " -> " << c.dst;
    }
}

TEST(kelWaveResamplerTest, MapsChannelCountsThatAreNoMultiple)
{
    // Frame values per source channel; the destination frame expected.
    struct Case
    {
        std::vector<int16_t> frame;
        size_t dstChannels;
        std::vector<int16_t> expected;
    };
    const Case cases[] = {
        {{100, -300}, 1, {-100}},
        {{100, 200, 301, 400}, 2, {200, 300}},
        {{100, 200, 300}, 2, {200, 200}},
        {{100, 200}, 3, {100, 200, 0}},
        {{100, 200}, 4, {100, 100, 200, 200}}, // a multiple: convertPcm repeats each
        {{-7, 9, 11, 13, 15}, 3, {3, 12, 11}},
    };
    for (const Case& c : cases) {
        const kelTestPcmSide src{8000, 16, c.frame.size()}, dst{8000, 16, c.dstChannels};
        kelTestResamplerRig rig(src, dst, false);
        ASSERT_TRUE(rig.open());
        std::vector<int16_t> in;
        for (size_t f = 0; f < 160; ++f)
            in.insert(in.end(), c.frame.begin(), c.frame.end());
        ASSERT_EQ(rig.write(in.data(), in.size() * 2), in.size() * 2);
        ASSERT_EQ(rig.chunkCount(), 1u);
        const auto out = rig.bytes();
        ASSERT_EQ(out.size(), 160 * c.dstChannels * 2);
        std::vector<int16_t> first(c.dstChannels);
        std::memcpy(first.data(), out.data() + out.size() - c.dstChannels * 2, c.dstChannels * 2);
        EXPECT_EQ(first, c.expected) << c.frame.size() << " -> " << c.dstChannels;
    }
}

// The Speex path against the library called directly: per channel, the
// same chunks give the same samples.
TEST(kelWaveResamplerTest, SpeexPathMatchesTheLibraryPerChannel)
{
    for (size_t channels : {size_t(1), size_t(2), size_t(5)}) {
        const kelTestPcmSide src{44100, 16, channels}, dst{48000, 16, channels};
        kelTestResamplerRig rig(src, dst, true);
        ASSERT_TRUE(rig.open());
        if (!rig.device->speexAvailable())
            GTEST_SKIP() << "libspeexdsp1 not installed (scripts/deps/speex.txt)";
        kelTestSpeexResampler reference(44100, 48000, channels);
        ASSERT_TRUE(reference.ok());
        const size_t chunkFrames = rig.device->srcChunkSamples();
        std::vector<int16_t> expected;
        for (size_t k = 0; k < 40; ++k) {
            const auto tone = kelTestTone(chunkFrames, channels, 44100, 997, 12000, k * chunkFrames);
            ASSERT_EQ(rig.write(tone.data(), tone.size() * 2), tone.size() * 2);
            const auto part = reference.process(tone.data(), chunkFrames, rig.device->dstChunkSamples() + 16);
            expected.insert(expected.end(), part.begin(), part.end());
        }
        EXPECT_TRUE(rig.device->useSpeexDSP());
        std::vector<int16_t> got(rig.bytes().size() / 2);
        std::memcpy(got.data(), rig.bytes().data(), got.size() * 2);
        EXPECT_EQ(rig.chunkCount(), 40u);
        EXPECT_EQ(got, expected) << channels << " channels";
    }
}

// Formats the Speex path does not take convert through convertPcm, and the
// resampler reports useSpeexDSP off until it closes.
TEST(kelWaveResamplerTest, UnsuitedFormatsFallBackUntilClose)
{
    struct Case
    {
        kelTestPcmSide src, dst;
    };
    const Case cases[] = {
        {{44100, 8, 1}, {8000, 8, 1}},
        {{16000, 16, 2}, {8000, 16, 1}},
        {{16000, 16, 33}, {8000, 16, 33}}, // more channels than Speex objects
    };
    for (const Case& c : cases) {
        kelTestResamplerRig rig(c.src, c.dst, true);
        ASSERT_TRUE(rig.open());
        const size_t bytes = rig.device->chunkSize() * 2;
        const auto data = ramp(bytes);
        ASSERT_EQ(rig.write(data.data(), bytes), bytes);
        EXPECT_FALSE(rig.device->useSpeexDSP()) << c.src.channels;
        if (c.src.channels == c.dst.channels) {
            EXPECT_EQ(rig.bytes(), convertedByChunks(data, rig.device->srcChunkSamples(), c.src, c.dst));
        } else {
            EXPECT_EQ(rig.bytes().size(), 2 * rig.device->dstChunkSize());
        }
        ASSERT_EQ(rig.device->close(), 0u);
        EXPECT_TRUE(rig.device->useSpeexDSP());
    }
}

// For every pair of the usual rates, each source chunk gives exactly one
// destination chunk of the destination chunk size, over 1000 chunks. The
// pairing holds for any chunk rate; 1000 chunks a second (chunks of 1 to
// 40 ms) keep the run short.
TEST(kelWaveResamplerTest, EverySourceChunkGivesOneDestinationChunk)
{
    struct ChunkRate
    {
        uintptr_t saved = defaultChunksPerSecond.exchange(1000);
        ~ChunkRate() { defaultChunksPerSecond.store(saved); }
    } chunkRate;
    const uintptr_t rates[] = {8000,  11025, 12000, 16000, 22050, 24000,  32000,
                               44100, 48000, 64000, 88200, 96000, 176400, 192000};
    for (uintptr_t from : rates) {
        for (uintptr_t to : rates) {
            kelTestResamplerRig rig({from, 16, 1}, {to, 16, 1}, true);
            // Counted only: the output stream would keep all 1000 chunks.
            ASSERT_EQ(rig.device->assignStream(false, nullptr, false), nullptr);
            ASSERT_TRUE(rig.open());
            EXPECT_TRUE(rig.device->speexAvailable() ? rig.device->useSpeexDSP() : true);
            const size_t chunk = rig.device->chunkSize();
            const uintptr_t dstChunk = rig.device->dstChunkSize();
            ASSERT_EQ(chunk * to, dstChunk * from);
            const auto tone = kelTestTone(chunk / 2, 1, double(from), 440, 8000);
            size_t wrong = 0;
            uintptr_t delivered = 0;
            rig.device->setOnDataAvailable([&](kelMsAcmStreamDevice*, void*, uintptr_t size) {
                wrong += size != dstChunk;
                ++delivered;
            });
            for (int k = 0; k < 1000; ++k)
                ASSERT_EQ(rig.write(tone.data(), chunk), chunk);
            EXPECT_EQ(delivered, 1000u) << from << " -> " << to;
            EXPECT_EQ(wrong, 0u) << from << " -> " << to;
        }
    }
}

// In real time the writes queue and the device's clock paces the output:
// one chunk per chunk time.
TEST(kelWaveResamplerTest, RealTimeConvertsOneQueuedChunkPerTick)
{
    kelManualClock clock;
    kelTestResamplerRig rig({16000, 16, 1}, {8000, 16, 1}, false, true);
    rig.device->setClock(clock);
    ASSERT_TRUE(rig.open());
    const auto data = ramp(640 * 3 + 100);
    ASSERT_EQ(rig.write(data.data(), data.size()), data.size());
    EXPECT_EQ(rig.chunkCount(), 0u);
    for (size_t k = 1; k <= 3; ++k) {
        clock.advanceMs(20);
        ASSERT_TRUE(kelTestWaitUntil([&] { return rig.chunkCount() == k; })) << k;
    }
    // The 100 bytes left are padded to a chunk by flush and go on the next tick.
    ASSERT_TRUE(rig.device->flush(false));
    clock.advanceMs(20);
    ASSERT_TRUE(kelTestWaitUntil([&] { return rig.chunkCount() == 4; }));
    EXPECT_EQ(rig.bytes(), convertedByChunks(
                               [&] {
                                   auto padded = data;
                                   padded.resize(640 * 4, 0);
                                   return padded;
                               }(),
                               320, {16000, 16, 1}, {8000, 16, 1}));
}
