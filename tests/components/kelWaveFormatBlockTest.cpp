// The format blocks a wave component takes from its providers: the 40-byte
// block, the 174-byte codec block with its driver part, and the checks that
// keep a block from a network peer from reading too far or naming a path.

#include "components/kelMT_wave.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

kelWaveFormat stereo48k()
{
    kelWaveFormat format;
    format.formatTag = 1;
    format.formatOriginal = {48000, 16, 2};
    format.formatChannelMask = 0x3;
    return format;
}

// A codec block whose name field holds `name` bytes as they are, without
// the zero padding the writer adds, in a heap block of exactly `len` bytes
// (so a read past its end trips the address sanitizer).
std::unique_ptr<uint8_t[]> rawCodecBlock(int32_t mode, const std::string& name, size_t len)
{
    auto block = std::make_unique<uint8_t[]>(len);
    std::memset(block.get(), 0, len);
    const kelWaveFormat format = stereo48k();
    std::memcpy(block.get(), &format, sizeof format);
    std::memcpy(block.get() + kelCodecBlockDriverModeOffset, &mode, sizeof mode);
    std::memcpy(block.get() + kelCodecBlockLibraryOffset, name.data(),
                std::min(name.size(), len - kelCodecBlockLibraryOffset));
    return block;
}

} // namespace

TEST(kelWaveFormatBlockTest, FortyByteBlockRoundTripsAndShorterIsRefused)
{
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kelWriteWaveFormatBlock(stereo48k(), bytes), 40u);
    // The published layout: tag, rate, bits, channels, mask, pointer-sized.
    uintptr_t fields[5];
    std::memcpy(fields, bytes.data(), sizeof fields);
    EXPECT_EQ(fields[0], 1u);
    EXPECT_EQ(fields[1], 48000u);
    EXPECT_EQ(fields[4], 0x3u);

    kelWaveFormatBlockContent content;
    ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), bytes.size(), content));
    EXPECT_EQ(content.format.formatOriginal.pcmNumChannels, 2u);
    EXPECT_FALSE(content.hasDriver);
    EXPECT_FALSE(kelReadWaveFormatBlock(bytes.data(), 39, content));
    EXPECT_FALSE(kelReadWaveFormatBlock(nullptr, 40, content));
}

TEST(kelWaveFormatBlockTest, CodecBlockCarriesModeAndBareLibraryName)
{
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kelWriteCodecFormatBlock(stereo48k(), kelcdm_openH323plugin, "libgsm_plugin.so", bytes), 174u);
    kelWaveFormatBlockContent content;
    ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), bytes.size(), content));
    EXPECT_TRUE(content.hasDriver);
    EXPECT_EQ(content.driverMode, kelcdm_openH323plugin);
    EXPECT_EQ(content.driverLibrary, "libgsm_plugin.so");

    // Mode 0 (the registry's drivers) brings no driver part; nor does a
    // block of 173 bytes, one short of the codec layout.
    ASSERT_EQ(kelWriteCodecFormatBlock(stereo48k(), kelcdm_acm, "x.so", bytes), 174u);
    ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), bytes.size(), content));
    EXPECT_FALSE(content.hasDriver);
    EXPECT_FALSE(content.driverRefused);
    ASSERT_EQ(kelWriteCodecFormatBlock(stereo48k(), kelcdm_installable, "x.so", bytes), 174u);
    ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), 173, content));
    EXPECT_FALSE(content.hasDriver);
}

TEST(kelWaveFormatBlockTest, LibraryNameWithoutTerminatorStopsAtItsField)
{
    // 130 name bytes and no zero anywhere: the name is cut at 129
    // characters, and nothing past the block is read.
    const auto block = rawCodecBlock(kelcdm_installable, std::string(200, 'a'), kelCodecFormatBlockSize);
    kelWaveFormatBlockContent content;
    ASSERT_TRUE(kelReadWaveFormatBlock(block.get(), kelCodecFormatBlockSize, content));
    EXPECT_TRUE(content.hasDriver);
    EXPECT_EQ(content.driverLibrary, std::string(129, 'a'));

    // A longer block changes nothing: the field ends where it ends.
    const auto longer = rawCodecBlock(kelcdm_installable, std::string(200, 'b'), 240);
    ASSERT_TRUE(kelReadWaveFormatBlock(longer.get(), 240, content));
    EXPECT_EQ(content.driverLibrary, std::string(129, 'b'));

    // The writer cuts a long name the same way.
    std::vector<uint8_t> bytes;
    kelWriteCodecFormatBlock(stereo48k(), kelcdm_installable, std::string(300, 'c'), bytes);
    ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), bytes.size(), content));
    EXPECT_EQ(content.driverLibrary, std::string(129, 'c'));
}

TEST(kelWaveFormatBlockTest, LibraryPathsAndUnknownModesAreNotTaken)
{
    const char* paths[] = {
        "/usr/lib/evil.so", "../evil.so", "plugins/evil.so", "..\\evil.dll", "C:evil.dll", "..", ".",
        "evil\n.so"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> bytes;
        kelWriteCodecFormatBlock(stereo48k(), kelcdm_installable, path, bytes);
        kelWaveFormatBlockContent content;
        ASSERT_TRUE(kelReadWaveFormatBlock(bytes.data(), bytes.size(), content));
        EXPECT_FALSE(content.hasDriver);
        EXPECT_TRUE(content.driverRefused);
        EXPECT_TRUE(content.driverLibrary.empty());
        // The format part of the block still counts.
        EXPECT_EQ(content.format.formatOriginal.pcmSamplesPerSecond, 48000u);
    }
    const auto unknown = rawCodecBlock(9, "libx.so", kelCodecFormatBlockSize);
    kelWaveFormatBlockContent content;
    ASSERT_TRUE(kelReadWaveFormatBlock(unknown.get(), kelCodecFormatBlockSize, content));
    EXPECT_FALSE(content.hasDriver);
    EXPECT_TRUE(content.driverRefused);
    // The internal mode needs no library.
    const auto internal = rawCodecBlock(kelcdm_internal, "", kelCodecFormatBlockSize);
    ASSERT_TRUE(kelReadWaveFormatBlock(internal.get(), kelCodecFormatBlockSize, content));
    EXPECT_TRUE(content.hasDriver);
    EXPECT_TRUE(content.driverLibrary.empty());
}

TEST(kelWaveFormatBlockTest, ValuesMustFitARecord)
{
    kelWaveFormat format = stereo48k();
    EXPECT_TRUE(kelWaveFormatFitsRecord(format));
    format.formatChannelMask = kelChannelMaskDefault;
    EXPECT_TRUE(kelWaveFormatFitsRecord(format));
    const auto variant = [&](auto change) {
        kelWaveFormat f = stereo48k();
        change(f);
        return kelWaveFormatFitsRecord(f);
    };
    EXPECT_FALSE(variant([](kelWaveFormat& f) { f.formatOriginal.pcmSamplesPerSecond = 0; }));
    EXPECT_FALSE(variant([](kelWaveFormat& f) { f.formatOriginal.pcmBitsPerSample = 0; }));
    EXPECT_FALSE(variant([](kelWaveFormat& f) { f.formatOriginal.pcmNumChannels = 0; }));
    EXPECT_FALSE(variant([](kelWaveFormat& f) { f.formatOriginal.pcmNumChannels = 65536; }));
    if constexpr (sizeof(uintptr_t) > 4) {
        EXPECT_FALSE(
            variant([](kelWaveFormat& f) { f.formatOriginal.pcmSamplesPerSecond = uintptr_t{1} << 32; }));
        EXPECT_FALSE(variant([](kelWaveFormat& f) { f.formatChannelMask = uintptr_t{1} << 32; }));
    }
}
