// The records against what sox writes for the same formats, byte for byte,
// and the routines that build and turn them around.

#include "audio/kelWave.h"
#include "core/kelMemUtils.h"
#include "tests/support/kelTestWaveFiles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

WAVEFORMATEX plainHeader(uint32_t rate, uint16_t bits, uint16_t channels)
{
    WAVEFORMATEX f;
    std::memset(&f, 0xCC, sizeof f);
    fillPCMFormat(&f, rate, bits, channels);
    return f;
}

} // namespace

TEST(kelWaveFormatsTest, PlainHeadersMatchSoxFmtChunks)
{
    // sox writes the 16-byte form of a plain PCM header (no cbSize).
    const WAVEFORMATEX stereo = plainHeader(44100, 16, 2);
    EXPECT_EQ(kelTestRecordBytes(&stereo, 16), kelTestFmtChunk("r44100_b16_c2_signed.wav"));
    const WAVEFORMATEX mono8 = plainHeader(8000, 8, 1);
    EXPECT_EQ(kelTestRecordBytes(&mono8, 16), kelTestFmtChunk("r8000_b8_c1_unsigned.wav"));
    EXPECT_EQ(stereo.cbSize, 0);

    // Float: an extensible float record turned plain is sox's 18-byte tag-3 header.
    kelFormatBlock ext, plain;
    ASSERT_NE(fillFormatExt(ext, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 96000, 32, 32, 2, kelChannelMaskDefault),
              nullptr);
    ASSERT_TRUE(formatExtToFormat(ext.format(), ext.size(), plain));
    EXPECT_EQ(kelTestRecordBytes(plain.data(), plain.size()),
              kelTestFmtChunk("r96000_b32_c2_floating-point.wav"));
}

TEST(kelWaveFormatsTest, ExtensibleRecordsMatchSoxFmtChunks)
{
    struct Row
    {
        const char* file;
        uint32_t rate;
        uint16_t container, valid, channels;
        uint32_t mask;
    };
    const Row rows[] = {
        {"r48000_b24_c6_signed.wav", 48000, 0, 24, 6, kelChannelMaskDefault},  // 0x3F, as sox
        {"r22050_b32_c1_signed.wav", 22050, 32, 32, 1, kelChannelMaskDefault}, // 0x4
        {"r44100_b16_c4_signed.wav", 44100, 16, 16, 4, 0x33},
        {"r48000_b16_c8_signed.wav", 48000, 0, 16, 8, 0x63F},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        kelFormatBlock block;
        const WAVEFORMATEXTENSIBLE* ext =
            fillFormatExtPCM(block, row.rate, row.container, row.valid, row.channels, row.mask);
        ASSERT_NE(ext, nullptr);
        ASSERT_EQ(block.size(), 40u);
        EXPECT_EQ(kelTestRecordBytes(ext), kelTestFmtChunk(row.file));
    }
}

TEST(kelWaveFormatsTest, FieldsSitWhereSoxPutsThem)
{
    const std::string bytes = kelTestFmtChunk("r48000_b24_c6_signed.wav");
    ASSERT_EQ(bytes.size(), sizeof(WAVEFORMATEXTENSIBLE));
    WAVEFORMATEXTENSIBLE ext;
    std::memcpy(&ext, bytes.data(), sizeof ext);
    EXPECT_EQ(ext.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(ext.Format.nChannels, 6);
    EXPECT_EQ(ext.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(ext.Format.nAvgBytesPerSec, 48000u * 18);
    EXPECT_EQ(ext.Format.nBlockAlign, 18);
    EXPECT_EQ(ext.Format.wBitsPerSample, 24);
    EXPECT_EQ(ext.Format.cbSize, 22);
    EXPECT_EQ(ext.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(ext.dwChannelMask, 0x3Fu);
    EXPECT_TRUE(guidEquals(&ext.SubFormat, &KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_TRUE(formatIsPCM(&ext.Format, sizeof ext));
    EXPECT_EQ(formatSampleBits(&ext.Format, sizeof ext), 24u);
}

TEST(kelWaveFormatsTest, ContainerFollowsValidBitsAndMaskMarkerGivesDefault)
{
    kelFormatBlock block;
    const WAVEFORMATEXTENSIBLE* ext = fillFormatExtPCM(block, 8000, 0, 12, 3);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Format.wBitsPerSample, 16);
    EXPECT_EQ(ext->Format.nBlockAlign, 6);
    EXPECT_EQ(ext->Samples.wValidBitsPerSample, 12);
    EXPECT_EQ(ext->dwChannelMask, 0x7u);

    ext = fillFormatExtPCM(block, 8000, 0, 16, 5);
    EXPECT_EQ(ext->dwChannelMask, 0u);
    const uint32_t defaults[] = {0, 0x4, 0x3, 0x7, 0x107, 0, 0x3F, 0, 0xFF, 0};
    for (unsigned n = 0; n < std::size(defaults); ++n)
        EXPECT_EQ(defaultChannelMask(n), defaults[n]) << n;
}

TEST(kelWaveFormatsTest, PlainRecordsBecomeExtensibleAndOthersAreCopied)
{
    kelFormatBlock ext;
    const WAVEFORMATEX pcm = plainHeader(44100, 16, 2);
    ASSERT_NE(formatToFormatExt(ext, &pcm, sizeof pcm), nullptr);
    kelFormatBlock expected;
    fillFormatExtPCM(expected, 44100, 16, 16, 2, 0x3);
    EXPECT_EQ(kelTestRecordBytes(ext.data(), ext.size()),
              kelTestRecordBytes(expected.data(), expected.size()));

    WAVEFORMATEX floatRecord = plainHeader(96000, 32, 2);
    floatRecord.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    ASSERT_NE(formatToFormatExt(ext, &floatRecord, sizeof floatRecord), nullptr);
    EXPECT_TRUE(guidEquals(&ext.formatExt()->SubFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    EXPECT_TRUE(formatIsPCM(ext.format(), ext.size()));
    EXPECT_FALSE(formatIsPCM(&floatRecord, sizeof floatRecord));
    EXPECT_EQ(formatSampleBits(ext.format(), ext.size()), kelPCMBitsFloat32);

    // A GSM record with 2 extra bytes is copied whole, extra bytes included.
    uint8_t gsm[20];
    WAVEFORMATEX gsmHeader = plainHeader(8000, 0, 1);
    gsmHeader.wFormatTag = 49;
    gsmHeader.cbSize = 2;
    std::memcpy(gsm, &gsmHeader, 18);
    gsm[18] = 0x40;
    gsm[19] = 0x01;
    const WAVEFORMATEX* copy = formatToFormatExt(ext, reinterpret_cast<WAVEFORMATEX*>(gsm), sizeof gsm);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(kelTestRecordBytes(ext.data(), ext.size()), kelTestRecordBytes(gsm, sizeof gsm));
    EXPECT_EQ(formatToFormatExt(ext, nullptr, 0), nullptr);
}

TEST(kelWaveFormatsTest, ExtensibleToPlainFollowsTheChannelLayout)
{
    kelFormatBlock ext, plain;
    fillFormatExtPCM(ext, 44100, 16, 16, 4, 0x33);
    EXPECT_TRUE(formatExtToFormat(ext.format(), ext.size(), plain));
    ASSERT_EQ(plain.size(), 18u);
    const WAVEFORMATEX expected = plainHeader(44100, 16, 4);
    EXPECT_EQ(kelTestRecordBytes(plain.data(), plain.size()), kelTestRecordBytes(&expected));

    ext.formatExt()->dwChannelMask = 0x3; // two speakers for four channels
    EXPECT_FALSE(formatExtToFormat(ext.format(), ext.size(), plain));
    EXPECT_TRUE(plain.empty());
    EXPECT_TRUE(formatExtToFormat(ext.format(), ext.size(), plain, true, 24));
    EXPECT_EQ(plain.size(), 24u);

    // The accepted plain layouts, and their neighbours.
    EXPECT_TRUE(isPlainChannelMask(6, 0x60F));
    EXPECT_TRUE(isPlainChannelMask(8, 0x63F));
    EXPECT_FALSE(isPlainChannelMask(5, 0x1F));
    EXPECT_FALSE(isPlainChannelMask(2, 0x4));

    // A 12-bit sample in a 16-bit container turns into a 16-bit plain record.
    fillFormatExtPCM(ext, 8000, 0, 12, 1);
    ASSERT_TRUE(formatExtToFormat(ext.format(), ext.size(), plain));
    EXPECT_EQ(plain.format()->wBitsPerSample, 16);

    // Another sub-format is not converted, even when forced.
    fillFormatExt(ext, GUID{0x55, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}}, 8000, 16, 16, 1, 0x4);
    EXPECT_FALSE(formatExtToFormat(ext.format(), ext.size(), plain, true));
    EXPECT_FALSE(formatIsPCM(ext.format(), ext.size()));
}

TEST(kelWaveFormatsTest, NonExtensibleRecordsAreCopiedUnchanged)
{
    kelFormatBlock plain;
    const WAVEFORMATEX pcm = plainHeader(22050, 8, 1);
    ASSERT_TRUE(formatExtToFormat(&pcm, sizeof pcm, plain));
    EXPECT_EQ(kelTestRecordBytes(plain.data(), plain.size()), kelTestRecordBytes(&pcm));
    ASSERT_TRUE(formatExtToFormat(&pcm, sizeof pcm, plain, false, 32));
    EXPECT_EQ(plain.size(), 32u);
    EXPECT_EQ(plain.data()[31], 0);
    EXPECT_FALSE(formatExtToFormat(nullptr, 0, plain));
}

// Records from files may claim more extra bytes than their block holds: the
// copy stops at the block, and the bytes that were not there come out zero.
TEST(kelWaveFormatsTest, CopiesStopAtTheCallersBlock)
{
    std::vector<uint8_t> record(18 + 6, 0xAB);
    WAVEFORMATEX header = plainHeader(8000, 4, 1);
    header.wFormatTag = 17;
    header.cbSize = 200; // far beyond the 24 bytes we hold
    std::memcpy(record.data(), &header, 18);
    const auto* f = reinterpret_cast<const WAVEFORMATEX*>(record.data());

    kelFormatBlock copy;
    ASSERT_TRUE(formatExtToFormat(f, record.size(), copy));
    ASSERT_EQ(copy.size(), 218u);
    EXPECT_EQ(std::memcmp(copy.data(), record.data(), record.size()), 0);
    EXPECT_EQ(copy.data()[record.size()], 0);
    EXPECT_EQ(copy.data()[217], 0);

    // A caller's size smaller than the record bounds the copy too.
    ASSERT_TRUE(formatExtToFormat(f, record.size(), copy, false, 20));
    EXPECT_EQ(copy.size(), 20u);
    EXPECT_EQ(duplicateFormat(f, record.size(), copy, 22), 22u);
    EXPECT_EQ(std::memcmp(copy.data(), record.data(), 22), 0);

    // An extensible record cut before its sub-format is not converted.
    kelFormatBlock ext;
    fillFormatExtPCM(ext, 8000, 16, 16, 1);
    EXPECT_FALSE(formatExtToFormat(ext.format(), 30, copy, true));
    EXPECT_FALSE(formatIsPCM(ext.format(), 30));
    EXPECT_FALSE(sameFormat(f, record.size(), f, record.size())); // its extra bytes are not all there
}

TEST(kelWaveFormatsTest, DuplicateAndCompare)
{
    kelFormatBlock a, b;
    fillFormatExtPCM(a, 48000, 16, 16, 2);
    EXPECT_EQ(duplicateFormat(a.format(), a.size(), b), 40u);
    EXPECT_TRUE(sameFormat(a.format(), a.size(), b.format(), b.size()));
    b.formatExt()->dwChannelMask = 0x4;
    EXPECT_FALSE(sameFormat(a.format(), a.size(), b.format(), b.size()));

    // Plain PCM compares the four fields only: cbSize may differ.
    WAVEFORMATEX p = plainHeader(8000, 16, 1), q = p;
    q.cbSize = 5;
    EXPECT_TRUE(sameFormat(&p, sizeof p, &q, sizeof q));
    q.nSamplesPerSec = 8001;
    EXPECT_FALSE(sameFormat(&p, sizeof p, &q, sizeof q));

    EXPECT_EQ(duplicateFormat(nullptr, 0, b), 0u);
    EXPECT_TRUE(b.empty());
    // Duplicating a block into itself keeps it.
    EXPECT_EQ(duplicateFormat(a.format(), a.size(), a), 40u);
    EXPECT_EQ(a.formatExt()->Format.nSamplesPerSec, 48000u);
}

TEST(kelWaveFormatsTest, PCMTestNeedsWholeBytesAndAKnownKind)
{
    WAVEFORMATEX f = plainHeader(8000, 12, 1);
    EXPECT_FALSE(formatIsPCM(&f, sizeof f));
    f.wBitsPerSample = 0;
    EXPECT_FALSE(formatIsPCM(&f, sizeof f));
    f.wBitsPerSample = 8;
    EXPECT_TRUE(formatIsPCM(&f, sizeof f));
    EXPECT_FALSE(formatIsPCM(&f, 17));
    f.wFormatTag = WAVE_FORMAT_EXTENSIBLE; // cbSize 0: not extensible in fact
    EXPECT_FALSE(formatIsPCM(&f, sizeof f));
}
