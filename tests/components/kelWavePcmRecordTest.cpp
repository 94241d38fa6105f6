// The component's PCM record: its defaults, held values, values that cannot
// stand, and valid bits in a derived container. (How the mask follows the
// channel count is shown on the component, kelmtlInOutWavePipeTest.)

#include "components/kelMT_wave.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

// Applies one change the way a component does: the mask is kept once a mask
// other than the marker was set.
struct RecordUnderTest
{
    kelFormatBlock record;
    bool maskIsNotDefault = false;

    bool set(int index, uintptr_t value)
    {
        if (kelPcmRecordHolds(record, index, value, maskIsNotDefault)) return false;
        if (index == kelPcmChannelMask) maskIsNotDefault = value != kelChannelMaskDefault;
        return kelRebuildPcmRecord(record, index, value, maskIsNotDefault);
    }
    kelPcmValues values() const { return kelPcmValuesOf(record); }
};

} // namespace

TEST(kelWavePcmRecordTest, DefaultsWithoutARecordAndInTheDefaultRecord)
{
    kelFormatBlock none;
    const kelPcmValues values = kelPcmValuesOf(none);
    EXPECT_EQ(values.samplesPerSec, 44100u);
    EXPECT_EQ(values.bitsPerSample, 16u);
    EXPECT_EQ(values.numChannels, 2u);
    EXPECT_EQ(values.channelMask, 0x3u);

    kelFormatBlock record;
    ASSERT_TRUE(kelDefaultPcmRecord(record));
    const WAVEFORMATEXTENSIBLE* ext = record.formatExt();
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(ext->Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(ext->Format.nBlockAlign, 4u);
    EXPECT_EQ(ext->dwChannelMask, 0x3u);
    EXPECT_EQ(std::memcmp(&ext->SubFormat, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID)), 0);
}

TEST(kelWavePcmRecordTest, HeldValuesAndValuesThatCannotStand)
{
    RecordUnderTest r;
    ASSERT_TRUE(kelDefaultPcmRecord(r.record));
    EXPECT_TRUE(kelPcmRecordHolds(r.record, kelPcmSamplesPerSec, 44100, false));
    EXPECT_TRUE(kelPcmRecordHolds(r.record, kelPcmChannelMask, kelChannelMaskDefault, false));
    // While a set mask is kept, the marker is a change.
    EXPECT_FALSE(kelPcmRecordHolds(r.record, kelPcmChannelMask, kelChannelMaskDefault, true));
    EXPECT_FALSE(kelPcmRecordHolds(r.record, 7, 0, false));

    kelFormatBlock before;
    ASSERT_TRUE(kelDefaultPcmRecord(before));
    for (auto [index, value] : {std::pair<int, uintptr_t>{kelPcmSamplesPerSec, 0},
                                {kelPcmBitsPerSample, 0},
                                {kelPcmNumChannels, 0},
                                {kelPcmNumChannels, 65536},
                                {4, 1}}) {
        EXPECT_FALSE(kelRebuildPcmRecord(r.record, index, value, false)) << index << " " << value;
        EXPECT_TRUE(kelSamePcmValues(r.record, before));
    }
}

TEST(kelWavePcmRecordTest, ValidBitsKeepTheirValueInADerivedContainer)
{
    RecordUnderTest r;
    ASSERT_TRUE(kelDefaultPcmRecord(r.record));
    ASSERT_TRUE(r.set(kelPcmBitsPerSample, 20));
    EXPECT_EQ(r.values().bitsPerSample, 20u);
    EXPECT_EQ(r.record.formatExt()->Format.wBitsPerSample, 24u);
    EXPECT_EQ(r.record.formatExt()->Format.nBlockAlign, 6u);

    // A provider's block builds the record the same way; its marker mask
    // resolves to the default of its count.
    kelWaveFormat block;
    block.formatTag = 1;
    block.formatOriginal = {8000, 8, 1};
    block.formatChannelMask = kelChannelMaskDefault;
    ASSERT_TRUE(kelFillPcmRecord(r.record, block));
    const kelWaveFormat offered = kelWaveFormatOfRecord(1, r.record);
    EXPECT_EQ(offered.formatOriginal.pcmSamplesPerSecond, 8000u);
    EXPECT_EQ(offered.formatOriginal.pcmBitsPerSample, 8u);
    EXPECT_EQ(offered.formatChannelMask, 0x4u);
}
