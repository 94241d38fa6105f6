// Expected values come from tests/vectors/audio/pcm-expected.py, which works
// them out from the sample rules on its own.

#include "audio/kelPCM.h"

#include "tests/support/kelTestWaveFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

namespace {

using Values = std::vector<int64_t>;
using Bytes = std::vector<uint8_t>;
constexpr int32_t int32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t int32Max = std::numeric_limits<int32_t>::max();

Bytes pack(const Values& v, int bytes = 2)
{
    return kelTestPackSamples(v, bytes);
}

Values unpack(const Bytes& data, int bytes = 2, size_t count = SIZE_MAX)
{
    Values v = kelTestUnpackSamples(data, bytes);
    if (count < v.size()) v.resize(count);
    return v;
}

} // namespace

TEST(kelPCMTest, MixingClipsOnlyWhenNarrowing)
{
    struct Row
    {
        int bytes;
        Values a, b, sum;
    };
    const Row rows[] = {
        {2, {30000, -30000, 5}, {10000, -10000, -7}, {32767, -32768, -2}},
        {3, {8388000, -8388000, 100}, {8388000, -8388000, 100}, {8388607, -8388608, 200}},
        {4, {int32Max, -int32Max, 5}, {1, -2, -7}, {int32Max, int32Min, -2}},
    };
    for (const Row& row : rows) {
        const Bytes a = pack(row.a, row.bytes), b = pack(row.b, row.bytes);
        Bytes out(a.size());
        const uintptr_t bits = row.bytes * 8;
        EXPECT_EQ(mixPcm(a.data(), b.data(), out.data(), 3, bits, bits, bits, true, 1), 3u);
        EXPECT_EQ(unpack(out, row.bytes), row.sum) << bits;
    }
    Bytes a = pack({30000, -30000, 30000}), b = pack({10000, -10000, 10000});
    EXPECT_EQ(mixPcm(a.data(), b.data(), a.data(), 1, 16, 16, 16, false, 3), 3u); // in place
    EXPECT_EQ(unpack(a), (Values{20000, -20000, 20000}));

    Bytes e8 = {0xF0, 0x10, 0x80}, f8 = {0xF0, 0x10, 0x7F}, o8(3);
    mixPcm(e8.data(), f8.data(), o8.data(), 3, 8, 8, 8, true, 1);
    EXPECT_EQ(o8, (Bytes{0xFF, 0x00, 0x7F}));
}

TEST(kelPCMTest, MixingAcrossSampleSizes)
{
    const Bytes a8 = {0x00, 0x80, 0xFF, 0x01, 0xF0};
    const Bytes b16 = pack({-32768, 12345, 32767, -1, 30000});
    Bytes o24(15), o16(10), o8(5);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o24.data(), 5, 8, 16, 24, true, 1), 5u);
    EXPECT_EQ(unpack(o24, 3), (Values{-8388608, 3160320, 8388607, -8323328, 8388607}));
    mixPcm(a8.data(), b16.data(), o16.data(), 5, 8, 16, 16, false, 1);
    EXPECT_EQ(unpack(o16), (Values{0, -12345, -255, -32511, -1328}));
    mixPcm(b16.data(), b16.data(), o8.data(), 5, 16, 16, 8, true, 1);
    EXPECT_EQ(o8, (Bytes{0, 224, 255, 128, 255}));

    // In place into the wider size: the same result, no input overwritten first.
    Bytes inPlace = a8;
    inPlace.resize(15);
    mixPcm(inPlace.data(), b16.data(), inPlace.data(), 5, 8, 16, 24, true, 1);
    EXPECT_EQ(inPlace, o24);

    EXPECT_EQ(mixPcm(nullptr, b16.data(), o16.data(), 5, 16, 16, 16, true, 1), 0u);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o16.data(), 5, 16, 16, 16, true, 0), 0u);
    EXPECT_EQ(mixPcm(a8.data(), b16.data(), o16.data(), 5, 4, 16, 16, true, 1), 0u);
}

TEST(kelPCMTest, SamplesWidenAndNarrowTowardZero)
{
    // bits, value written, byte(s) stored
    const std::tuple<uintptr_t, int64_t, Values> writes[] = {
        {16, -40000LL * 65536, {-32768}}, {8, int32Min, {0x00}}, {8, -1, {0x80}},
        {8, -(1 << 24) - 1, {0x7F}},      {24, -257, {-1}},      {32, 1LL << 40, {int32Max}},
    };
    for (const auto& [bits, value, stored] : writes) {
        Bytes buf(4, 0xAA);
        uint8_t* w = buf.data();
        writeSample(bits, value, w);
        const int bytes = static_cast<int>(bits / 8);
        EXPECT_EQ(w, buf.data() + bytes);
        const Values got = bits == 8 ? Values{buf[0]} : unpack(buf, bytes, 1);
        EXPECT_EQ(got, stored) << bits << " " << value;
    }
    const Bytes s24 = pack({-8388608, 0x123456}, 3);
    const uint8_t* r = s24.data();
    EXPECT_EQ(readSample(24, r), int32Min);
    EXPECT_EQ(readSample(24, r), 0x12345600);

    // Unsupported sizes read 0, write nothing and do not move.
    r = s24.data();
    EXPECT_EQ(readSample(12, r), 0);
    EXPECT_EQ(r, s24.data());
    Bytes buf(4, 0xAA);
    uint8_t* w = buf.data();
    writeSample(20, 12345, w);
    EXPECT_EQ(w, buf.data());
    EXPECT_EQ(buf, Bytes(4, 0xAA));
}

TEST(kelPCMTest, FloatSamplesUseFullScaleOne)
{
    const float in[] = {0.5f, 1.0f, -1.0f, 2.0f, std::nanf("")};
    const int32_t widened[] = {1 << 30, int32Max, int32Min, int32Max, 0};
    const auto* r = reinterpret_cast<const uint8_t*>(in);
    for (int32_t expected : widened)
        EXPECT_EQ(readSample(kelPCMBitsFloat32, r), expected);

    float out[2];
    auto* w = reinterpret_cast<uint8_t*>(out);
    writeSample(kelPCMBitsFloat32, -(1LL << 30), w);
    writeSample(kelPCMBitsFloat32, 1LL << 40, w);
    EXPECT_EQ(out[0], -0.5f);
    EXPECT_EQ(out[1], 1.0f);

    // 16-bit to float and back keeps the samples.
    const Bytes s16 = pack({-32768, -1, 0, 12345, 32767});
    Bytes f(20), back(10);
    EXPECT_EQ(convertPcm(s16.data(), f.data(), 5, 1, 1, 16, kelPCMBitsFloat32, 8000, 8000), 20u);
    EXPECT_EQ(convertPcm(f.data(), back.data(), 5, 1, 1, kelPCMBitsFloat32, 16, 8000, 8000), 10u);
    EXPECT_EQ(back, s16);
}

TEST(kelPCMTest, ChannelVolumeAndLogScales)
{
    // The most negative sample's magnitude is one beyond the 32-bit range.
    EXPECT_EQ(channelVolume(pack(Values(256, -32768)).data(), 256, 16, 1, 0, false), 65536u);
    EXPECT_EQ(channelVolume(pack(Values(4, int32Min), 4).data(), 4, 32, 1, 0, false), 65536u);
    EXPECT_EQ(channelVolume(pack(Values(256, 16384)).data(), 256, 16, 1, 0, false), 32768u);
    EXPECT_EQ(channelVolume(pack(Values(256, 0)).data(), 256, 16, 1, 0, false), 0u);
    EXPECT_EQ(channelVolume(Bytes(16, 0x80).data(), 16, 8, 1, 0, false), 0u);
    // One channel of three; out of range; delta terms measured from the previous term.
    const Bytes mixed = pack({32767, 16384, -32768, 32767, 16384, -32768});
    EXPECT_EQ(channelVolume(mixed.data(), 2, 16, 3, 1, false), 32768u);
    EXPECT_EQ(channelVolume(mixed.data(), 2, 16, 3, 3, false), 0u);
    EXPECT_EQ(channelVolume(pack({100, 300}).data(), 2, 16, 1, 0, true), 300u);
    // On a negative constant the delta terms grow by |x| each: over 2^20 frames
    // the mean passes the 32-bit result, which then stays at its top.
    const Bytes low = pack(Values(1 << 20, int32Min), 4);
    EXPECT_EQ(channelVolume(low.data(), 1 << 20, 32, 1, 0, true), std::numeric_limits<uint32_t>::max());

    const std::pair<int64_t, int> scale300[] = {{-5, 0},      {0, 0},      {1, 1},       {2, 2},
                                                {100, 16},    {1000, 52},  {16384, 212}, {32767, 299},
                                                {32768, 300}, {65536, 300}};
    for (const auto& [level, expected] : scale300)
        EXPECT_EQ(logVolume300(level), expected) << level;
    EXPECT_EQ(logVolume100(8), 1);
    EXPECT_EQ(logVolume100(32767), 99);
    EXPECT_EQ(logVolume100(65536), 100);
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
        Bytes data = pack(g16);
        EXPECT_EQ(applyGain(percent, data.data(), 8, 16, 1, -1), 8u);
        EXPECT_EQ(unpack(data), expected) << percent;
    }
    Bytes loud = pack({20000});
    applyGain(200, loud.data(), 1, 16, 1, 0);
    EXPECT_EQ(unpack(loud), (Values{32767}));
    Bytes g8 = {0x00, 0xFF, 0x81, 0x7F, 0x80};
    applyGain(50, g8.data(), 5, 8, 1, -1);
    EXPECT_EQ(g8, (Bytes{0x40, 0xBF, 0x80, 0x80, 0x80}));
    Bytes g24 = pack({8388607, -8388608, 3, -3}, 3);
    applyGain(150, g24.data(), 4, 24, 1, -1);
    EXPECT_EQ(unpack(g24, 3), (Values{8388607, -8388608, 4, -4}));
}

TEST(kelPCMTest, GainOnOneChannelLeavesTheOthers)
{
    Bytes data = pack({1000, 1000, 1000, 1000, 1000, 1000});
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 3, 2), 2u);
    EXPECT_EQ(unpack(data), (Values{1000, 1000, 500, 1000, 1000, 500}));
    // A negative channel walks `samples` consecutive values, not frames.
    EXPECT_EQ(applyGain(0, data.data(), 2, 16, 3, -1), 2u);
    EXPECT_EQ(unpack(data), (Values{0, 0, 500, 1000, 1000, 500}));
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 3, 3), 0u);
    EXPECT_EQ(applyGain(50, data.data(), 2, 16, 0, -1), 0u);

    float f[] = {0.5f, -0.25f};
    applyGain(50, f, 1, kelPCMBitsFloat32, 2, 1);
    EXPECT_EQ(f[0], 0.5f);
    EXPECT_EQ(f[1], -0.125f);
}

TEST(kelPCMTest, ChannelsMoveInAndOutOfInterleavedData)
{
    const Bytes stereo = pack({1, -1, 2, -2, 3, -3});
    Bytes right(6);
    EXPECT_EQ(extractChannel(stereo.data(), right.data(), 3, 16, 2, 1), 3u);
    EXPECT_EQ(unpack(right), (Values{-1, -2, -3}));

    Bytes three = pack(Values(9, 7), 3);
    const Bytes mono = pack({100, 200, 300}, 3);
    EXPECT_EQ(insertChannel(three.data(), mono.data(), 3, 24, 3, 0), 3u);
    EXPECT_EQ(unpack(three, 3), (Values{100, 7, 7, 200, 7, 7, 300, 7, 7}));
    EXPECT_EQ(insertChannel(three.data(), mono.data(), 3, 24, 3, 3), 0u);
    EXPECT_EQ(extractChannel(stereo.data(), right.data(), 3, 4, 2, 0), 0u);
}

TEST(kelPCMTest, ConversionFrameCounts)
{
    // ceil(frames × dstRate / srcRate), worked out in python. A walk that adds
    // up the rate ratio in floating point gives one frame more for the last
    // three (883, 442, 481: see pcm-expected.py), overrunning a destination
    // sized for a 20 ms chunk.
    const std::tuple<size_t, uintptr_t, uintptr_t, size_t> rows[] = {
        {882, 44100, 8000, 160},   {160, 8000, 16000, 320},  {441, 44100, 11025, 111}, {5, 3, 7, 12},
        {1920, 96000, 44100, 882}, {960, 96000, 44100, 441}, {882, 88200, 48000, 480}};
    for (const auto& [frames, srcRate, dstRate, expected] : rows) {
        Bytes src(frames * 4), dst(expected * 4 + 16, 0xEE);
        const size_t bytes = convertPcm(src.data(), dst.data(), frames, 2, 2, 16, 16, srcRate, dstRate);
        EXPECT_EQ(bytes, expected * 4) << frames;
        EXPECT_EQ(convertPcmSize(frames, 2, 2, 16, 16, srcRate, dstRate), bytes);
        EXPECT_EQ(dst[bytes], 0xEE); // nothing past the frames it reports
    }
}

TEST(kelPCMTest, ConversionRepeatsAndDropsFramesAndChannels)
{
    const Bytes stereo = pack({1, 2, 3, 4, 5, 6});
    Bytes out(64);
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 4, 16, 16, 8000, 8000), 24u);
    EXPECT_EQ(unpack(out, 2, 12), (Values{1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6}));
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 1, 16, 16, 8000, 8000), 0u);
    EXPECT_EQ(convertPcm(stereo.data(), out.data(), 3, 2, 3, 16, 16, 8000, 8000), 12u); // k = 1

    // Halving the rate keeps every other frame; 16 to 8 bits narrows.
    const Bytes mono = pack({-32768, 256, 512, 32767});
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 16000, 8000), 4u);
    EXPECT_EQ(unpack(out, 2, 2), (Values{-32768, 512}));
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 2, 1, 2, 16, 8, 8000, 16000), 8u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0, 0, 0, 0, 129, 129, 129, 129}));
    // 3 Hz to 7 Hz repeats source frames floor(j × 3 / 7): 0 0 0 1 1 2 2.
    EXPECT_EQ(convertPcm(pack({-5, 6, -7}, 3).data(), out.data(), 3, 1, 2, 24, 24, 3, 7), 42u);
    EXPECT_EQ(unpack(out, 3, 14), (Values{-5, -5, -5, -5, -5, -5, 6, 6, 6, 6, -7, -7, -7, -7}));

    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 8000, 8000), 8u); // a copy
    EXPECT_EQ(unpack(out, 2, 4), unpack(mono));
    EXPECT_EQ(convertPcm(nullptr, out.data(), 4, 1, 1, 16, 16, 8000, 8000), 0u);
    EXPECT_EQ(convertPcm(mono.data(), out.data(), 4, 1, 1, 16, 16, 0, 8000), 0u);
}

// Rates from a crafted record that ask for more frames than any buffer could
// hold are refused at once, before a single write.
TEST(kelPCMTest, ConversionRefusesAnOutputBeyondAnyBuffer)
{
    const uintptr_t huge = uintptr_t{1} << 62;
    EXPECT_EQ(convertPcmSize(2, 1, 1, 16, 16, 1, huge), 0u);
    Bytes src(4, 1), dst(64, 0xEE);
    EXPECT_EQ(convertPcm(src.data(), dst.data(), 2, 1, 1, 16, 16, 1, huge), 0u);
    EXPECT_EQ(dst, Bytes(64, 0xEE));
    EXPECT_EQ(convertPcmSize(2, 1, 1, 16, 16, 1, 1000000), 4000000u); // large, but it fits
}
