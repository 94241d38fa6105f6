// Expected values come from tests/vectors/audio/pcm-expected.py, which works
// them out from the sample rules on its own.

#include "audio/kelPCM.h"

#include "tests/support/kelTestWaveFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using Values = std::vector<int64_t>;

std::vector<uint8_t> pack16(const Values& v)
{
    return kelTestPackSamples(v, 2);
}

Values unpack(const std::vector<uint8_t>& data, int bytes)
{
    return kelTestUnpackSamples(data, bytes);
}

} // namespace

TEST(kelPCMTest, MixingClipsOnlyWhenNarrowing)
{
    auto a = pack16({30000, -30000, 30000});
    auto b = pack16({10000, -10000, 10000});
    std::vector<uint8_t> out(a.size());
    EXPECT_EQ(mixPcm(a.data(), b.data(), out.data(), 3, 16, 16, 16, true, 1), 3u);
    EXPECT_EQ(unpack(out, 2), (Values{32767, -32768, 32767}));
    EXPECT_EQ(mixPcm(a.data(), b.data(), a.data(), 1, 16, 16, 16, false, 3), 3u); // in place
    EXPECT_EQ(unpack(a, 2), (Values{20000, -20000, 20000}));

    std::vector<uint8_t> e8 = {0xF0, 0x10, 0x80}, f8 = {0xF0, 0x10, 0x7F}, o8(3);
    mixPcm(e8.data(), f8.data(), o8.data(), 3, 8, 8, 8, true, 1);
    EXPECT_EQ(o8, (std::vector<uint8_t>{0xFF, 0x00, 0x7F}));

    auto x32 = kelTestPackSamples({2147483647, -2147483647, 5}, 4);
    auto y32 = kelTestPackSamples({1, -2, -7}, 4);
    std::vector<uint8_t> o32(x32.size());
    mixPcm(x32.data(), y32.data(), o32.data(), 3, 32, 32, 32, true, 1);
    EXPECT_EQ(unpack(o32, 4), (Values{2147483647, -2147483648LL, -2}));

    auto x24 = kelTestPackSamples({8388000, -8388000, 100}, 3);
    std::vector<uint8_t> o24(x24.size());
    mixPcm(x24.data(), x24.data(), o24.data(), 3, 24, 24, 24, true, 1);
    EXPECT_EQ(unpack(o24, 3), (Values{8388607, -8388608, 200}));
}

TEST(kelPCMTest, MixingAcrossSampleSizes)
{
    const std::vector<uint8_t> a8 = {0x00, 0x80, 0xFF, 0x01, 0xF0};
    const auto b16 = pack16({-32768, 12345, 32767, -1, 30000});
    std::vector<uint8_t> o24(15), o16(10), o8(5);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o24.data(), 5, 8, 16, 24, true, 1), 5u);
    EXPECT_EQ(unpack(o24, 3), (Values{-8388608, 3160320, 8388607, -8323328, 8388607}));
    mixPcm(a8.data(), b16.data(), o16.data(), 5, 8, 16, 16, false, 1);
    EXPECT_EQ(unpack(o16, 2), (Values{0, -12345, -255, -32511, -1328}));
    mixPcm(b16.data(), b16.data(), o8.data(), 5, 16, 16, 8, true, 1);
    EXPECT_EQ(o8, (std::vector<uint8_t>{0, 224, 255, 128, 255}));

    // Guards: no buffer, no values, a size below 8.
    EXPECT_EQ(mixPcm(nullptr, b16.data(), o16.data(), 5, 16, 16, 16, true, 1), 0u);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o16.data(), 5, 16, 16, 16, true, 0), 0u);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o16.data(), 5, 4, 16, 16, true, 1), 0u);
}

TEST(kelPCMTest, SampleWidenAndNarrow)
{
    std::vector<uint8_t> buf(4);
    uint8_t* w = buf.data();
    writeSample(16, -40000LL * 65536, w);
    EXPECT_EQ(w, buf.data() + 2);
    EXPECT_EQ(unpack({buf[0], buf[1]}, 2), (Values{-32768}));

    // 8-bit: byte 0x00 round trips; a value just below silence truncates
    // toward zero, onto silence.
    const uint8_t zero = 0x00;
    const uint8_t* r = &zero;
    const int32_t widened = readSample(8, r);
    EXPECT_EQ(widened, std::numeric_limits<int32_t>::min());
    w = buf.data();
    writeSample(8, widened, w);
    EXPECT_EQ(buf[0], 0x00);
    w = buf.data();
    writeSample(8, -1, w);
    EXPECT_EQ(buf[0], 0x80);
    w = buf.data();
    writeSample(8, -(1 << 24) - 1, w);
    EXPECT_EQ(buf[0], 0x7F);

    const auto s24 = kelTestPackSamples({-8388608, 0x123456}, 3);
    r = s24.data();
    EXPECT_EQ(readSample(24, r), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(readSample(24, r), 0x12345600);
    EXPECT_EQ(r, s24.data() + 6);

    // Unsupported sizes read 0, write nothing and do not move.
    r = s24.data();
    EXPECT_EQ(readSample(12, r), 0);
    EXPECT_EQ(r, s24.data());
    buf.assign(4, 0xAA);
    w = buf.data();
    writeSample(20, 12345, w);
    EXPECT_EQ(w, buf.data());
    EXPECT_EQ(buf, std::vector<uint8_t>(4, 0xAA));
}

TEST(kelPCMTest, FloatSamplesUseFullScaleOne)
{
    const float in[] = {0.5f, 1.0f, -1.0f, 2.0f, std::nanf("")};
    const auto* r = reinterpret_cast<const uint8_t*>(in);
    EXPECT_EQ(readSample(kelPCMBitsFloat32, r), 1 << 30);
    EXPECT_EQ(readSample(kelPCMBitsFloat32, r), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(readSample(kelPCMBitsFloat32, r), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(readSample(kelPCMBitsFloat32, r), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(readSample(kelPCMBitsFloat32, r), 0);

    float out[2];
    auto* w = reinterpret_cast<uint8_t*>(out);
    writeSample(kelPCMBitsFloat32, -(1LL << 30), w);
    writeSample(kelPCMBitsFloat32, 1LL << 40, w);
    EXPECT_EQ(out[0], -0.5f);
    EXPECT_EQ(out[1], 1.0f);

    // 16-bit to float and back keeps the samples.
    const auto s16 = pack16({-32768, -1, 0, 12345, 32767});
    std::vector<uint8_t> f(20), back(10);
    EXPECT_EQ(convertPcm(s16.data(), f.data(), 5, 1, 1, 16, kelPCMBitsFloat32, 8000, 8000), 20u);
    EXPECT_EQ(convertPcm(f.data(), back.data(), 5, 1, 1, kelPCMBitsFloat32, 16, 8000, 8000), 10u);
    EXPECT_EQ(back, s16);
}

TEST(kelPCMTest, ChannelVolumeScale)
{
    // The most negative sample has a magnitude one beyond the 32-bit range.
    EXPECT_EQ(channelVolume(pack16(Values(256, -32768)).data(), 256, 16, 1, 0, false), 65536u);
    const auto min32 = kelTestPackSamples(Values(4, std::numeric_limits<int32_t>::min()), 4);
    EXPECT_EQ(channelVolume(min32.data(), 4, 32, 1, 0, false), 65536u);
    EXPECT_EQ(channelVolume(pack16(Values(256, 16384)).data(), 256, 16, 1, 0, false), 32768u);
    EXPECT_EQ(channelVolume(pack16(Values(256, 0)).data(), 256, 16, 1, 0, false), 0u);
    EXPECT_EQ(logVolume100(65536), 100);

    // One channel of three: the others do not count.
    const auto mixed = pack16({32767, 16384, -32768, 32767, 16384, -32768});
    EXPECT_EQ(channelVolume(mixed.data(), 2, 16, 3, 1, false), 32768u);
    EXPECT_EQ(channelVolume(mixed.data(), 2, 16, 3, 3, false), 0u);
    // Each delta term is measured from the previous term.
    EXPECT_EQ(channelVolume(pack16({100, 300}).data(), 2, 16, 1, 0, true), 300u);
    const std::vector<uint8_t> silence8(16, 0x80);
    EXPECT_EQ(channelVolume(silence8.data(), 16, 8, 1, 0, false), 0u);
}

TEST(kelPCMTest, LogVolumeScales)
{
    const std::pair<int64_t, int> scale300[] = {{-5, 0},      {0, 0},      {1, 1},       {2, 2},
                                                {100, 16},    {1000, 52},  {16384, 212}, {32767, 299},
                                                {32768, 300}, {65536, 300}};
    for (const auto& [level, expected] : scale300)
        EXPECT_EQ(logVolume300(level), expected) << level;
    EXPECT_EQ(logVolume100(8), 1);
    EXPECT_EQ(logVolume100(100), 5);
    EXPECT_EQ(logVolume100(32767), 99);
}

TEST(kelPCMTest, GainTruncatesTowardZeroAndClips)
{
    const Values g16 = {3, -3, 20000, -20000, 32767, -32768, 1, -1};
    const std::pair<intptr_t, Values> rows[] = {
        {50, {1, -1, 10000, -10000, 16383, -16384, 0, 0}},
        {150, {4, -4, 30000, -30000, 32767, -32768, 1, -1}},
        {33, {0, 0, 6600, -6600, 10813, -10813, 0, 0}},
        {-100, {-3, 3, -20000, 20000, -32767, 32767, -1, 1}},
        {100, g16},
    };
    for (const auto& [percent, expected] : rows) {
        auto data = pack16(g16);
        EXPECT_EQ(applyGain(percent, data.data(), 8, 16, 1, -1), 8u);
        EXPECT_EQ(unpack(data, 2), expected) << percent;
    }
    auto loud = pack16({20000});
    applyGain(200, loud.data(), 1, 16, 1, 0);
    EXPECT_EQ(unpack(loud, 2), (Values{32767}));

    std::vector<uint8_t> g8 = {0x00, 0xFF, 0x81, 0x7F, 0x80};
    applyGain(50, g8.data(), 5, 8, 1, -1);
    EXPECT_EQ(g8, (std::vector<uint8_t>{0x40, 0xBF, 0x80, 0x80, 0x80}));
    auto g24 = kelTestPackSamples({8388607, -8388608, 3, -3}, 3);
    applyGain(150, g24.data(), 4, 24, 1, -1);
    EXPECT_EQ(unpack(g24, 3), (Values{8388607, -8388608, 4, -4}));
}

TEST(kelPCMTest, GainOnOneChannelLeavesTheOthers)
{
    auto data = pack16({1000, 1000, 1000, 1000, 1000, 1000});
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 3, 2), 2u);
    EXPECT_EQ(unpack(data, 2), (Values{1000, 1000, 500, 1000, 1000, 500}));
    // A negative channel walks `samples` consecutive values, not frames.
    EXPECT_EQ(applyGain(0, data.data(), 2, 16, 3, -1), 2u);
    EXPECT_EQ(unpack(data, 2), (Values{0, 0, 500, 1000, 1000, 500}));
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 3, 3), 0u);
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 0, -1), 0u);

    float f[] = {0.5f, -0.25f};
    applyGain(50, f, 2, kelPCMBitsFloat32, 2, 1);
    EXPECT_EQ(f[0], 0.5f);
    EXPECT_EQ(f[1], -0.125f);
}

TEST(kelPCMTest, ChannelsMoveInAndOutOfInterleavedData)
{
    const auto stereo = pack16({1, -1, 2, -2, 3, -3});
    std::vector<uint8_t> right(6);
    EXPECT_EQ(extractChannel(stereo.data(), right.data(), 3, 16, 2, 1), 3u);
    EXPECT_EQ(unpack(right, 2), (Values{-1, -2, -3}));

    auto three = kelTestPackSamples(Values(9, 7), 3);
    const auto mono = kelTestPackSamples({100, 200, 300}, 3);
    EXPECT_EQ(insertChannel(three.data(), mono.data(), 3, 24, 3, 0), 3u);
    EXPECT_EQ(unpack(three, 3), (Values{100, 7, 7, 200, 7, 7, 300, 7, 7}));
    EXPECT_EQ(insertChannel(three.data(), mono.data(), 3, 24, 3, 3), 0u);
    EXPECT_EQ(extractChannel(stereo.data(), right.data(), 3, 4, 2, 0), 0u);
}

TEST(kelPCMTest, ConversionFrameCounts)
{
    struct Row
    {
        size_t frames;
        uintptr_t srcRate, dstRate;
        size_t expectedFrames;
    };
    // ceil(frames × dstRate / srcRate), worked out in python. A walk that adds
    // up the rate ratio in floating point gives one frame more for the last
    // three (883, 442, 481: see pcm-expected.py), overrunning a destination
    // sized for a 20 ms chunk.
    const Row rows[] = {{882, 44100, 8000, 160}, {160, 8000, 16000, 320},   {441, 44100, 11025, 111},
                        {5, 3, 7, 12},           {1920, 96000, 44100, 882}, {960, 96000, 44100, 441},
                        {882, 88200, 48000, 480}};
    for (const Row& row : rows) {
        std::vector<uint8_t> src(row.frames * 2), dst(row.expectedFrames * 2 + 16, 0xEE);
        const size_t bytes =
            convertPcm(src.data(), dst.data(), row.frames, 1, 1, 16, 16, row.srcRate, row.dstRate);
        EXPECT_EQ(bytes, row.expectedFrames * 2) << row.frames;
        EXPECT_EQ(convertPcmSize(row.frames, 1, 1, 16, 16, row.srcRate, row.dstRate), bytes);
        EXPECT_EQ(dst[bytes], 0xEE); // nothing past the frames it reports
    }
}

TEST(kelPCMTest, ConversionRepeatsAndDropsFramesAndChannels)
{
    const auto stereo = pack16({1, 2, 3, 4, 5, 6});
    std::vector<uint8_t> out(64);
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 4, 16, 16, 8000, 8000), 24u);
    EXPECT_EQ(unpack({out.begin(), out.begin() + 24}, 2), (Values{1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6}));
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 1, 16, 16, 8000, 8000), 0u);
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 3, 16, 16, 8000, 8000), 12u); // k = 1

    // Downsampling by 2 keeps every other frame; upsampling repeats; 16 to 8 bits narrows.
    const auto mono = pack16({-32768, 256, 512, 32767});
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 16000, 8000), 4u);
    EXPECT_EQ(unpack({out.begin(), out.begin() + 4}, 2), (Values{-32768, 512}));
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 2, 1, 2, 16, 8, 8000, 16000), 8u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0, 0, 129, 129, 129, 129}));

    // 3 Hz to 7 Hz repeats source frames floor(j × 3 / 7): 0 0 0 1 1 2 2.
    const auto s24 = kelTestPackSamples({-5, 6, -7}, 3);
    EXPECT_EQ(convertPcm(s24.data(), out.data(), 3, 1, 2, 24, 24, 3, 7), 42u);
    EXPECT_EQ(unpack({out.begin(), out.begin() + 42}, 3),
              (Values{-5, -5, -5, -5, -5, -5, 6, 6, 6, 6, -7, -7, -7, -7}));

    // Equal formats copy; in place does nothing.
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 8000, 8000), 8u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8), mono);
    EXPECT_EQ(convertPcm(nullptr, out.data(), 4, 1, 1, 16, 16, 8000, 8000), 0u);
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 0, 8000), 0u);
}

// Rates from a crafted record that ask for more frames than any buffer could
// hold are refused at once, before a single write.
TEST(kelPCMTest, ConversionRefusesAnOutputBeyondAnyBuffer)
{
    const uintptr_t huge = uintptr_t{1} << 62;
    EXPECT_EQ(convertPcmSize(2, 1, 1, 16, 16, 1, huge), 0u);
    std::vector<uint8_t> src(4, 1), dst(64, 0xEE);
    EXPECT_EQ(convertPcm(src.data(), dst.data(), 2, 1, 1, 16, 16, 1, huge), 0u);
    EXPECT_EQ(dst, std::vector<uint8_t>(64, 0xEE));
    EXPECT_EQ(convertPcmSize(2, 1, 1, 16, 16, 1, 1000000), 4000000u); // large, but it fits
}
