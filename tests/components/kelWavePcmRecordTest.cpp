// The component's PCM record: its defaults, and how the channel mask follows
// the channel count until a mask is set.

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

TEST(kelWavePcmRecordTest, MaskFollowsTheChannelCountUntilOneIsSet)
{
    RecordUnderTest r;
    ASSERT_TRUE(kelDefaultPcmRecord(r.record));
    ASSERT_TRUE(r.set(kelPcmNumChannels, 6));
    EXPECT_EQ(r.values().channelMask, 0x3Fu);

    ASSERT_TRUE(r.set(kelPcmChannelMask, 0x60F));
    ASSERT_TRUE(r.set(kelPcmNumChannels, 8));
    EXPECT_EQ(r.values().numChannels, 8u);
    EXPECT_EQ(r.values().channelMask, 0x60Fu);
    // Other values keep the set mask too.
    ASSERT_TRUE(r.set(kelPcmSamplesPerSec, 96000));
    EXPECT_EQ(r.values().channelMask, 0x60Fu);
}

TEST(kelWavePcmRecordTest, MarkerAfterASetMaskFollowsTheCountAgain)
{
    // Setting the marker resolves the mask for the current count, and later
    // count changes must go on following it: a 6-channel record must not
    // keep the stereo mask the marker resolved to.
    RecordUnderTest r;
    ASSERT_TRUE(kelDefaultPcmRecord(r.record));
    ASSERT_TRUE(r.set(kelPcmChannelMask, 0x60F));
    ASSERT_TRUE(r.set(kelPcmChannelMask, kelChannelMaskDefault));
    EXPECT_EQ(r.values().channelMask, 0x3u);
    ASSERT_TRUE(r.set(kelPcmNumChannels, 6));
    EXPECT_EQ(r.values().channelMask, 0x3Fu);
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
