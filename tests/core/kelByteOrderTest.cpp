#include "core/kelByteOrder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

constexpr std::array<uint8_t, 8> kGolden{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

} // namespace

TEST(kelByteOrderTest, LoadsGoldenBytesInBothOrdersAtEveryAlignment)
{
    // Offsets 1..3 put the value on odd and half-word boundaries.
    for (size_t offset = 0; offset < 4; ++offset) {
        std::array<uint8_t, 12> buf{};
        for (size_t i = 0; i < kGolden.size(); ++i)
            buf[offset + i] = kGolden[i];
        const uint8_t* p = buf.data() + offset;
        SCOPED_TRACE(offset);
        EXPECT_EQ(kelLoadBE16(p), 0x0123u);
        EXPECT_EQ(kelLoadBE32(p), 0x01234567u);
        EXPECT_EQ(kelLoadBE64(p), 0x0123456789ABCDEFull);
        EXPECT_EQ(kelLoadLE16(p), 0x2301u);
        EXPECT_EQ(kelLoadLE32(p), 0x67452301u);
        EXPECT_EQ(kelLoadLE64(p), 0xEFCDAB8967452301ull);
    }
}

TEST(kelByteOrderTest, StoresGoldenBytesAndTouchesNothingAround)
{
    for (size_t offset = 0; offset < 4; ++offset) {
        SCOPED_TRACE(offset);
        std::array<uint8_t, 12> be;
        std::array<uint8_t, 12> le;
        be.fill(0x5A);
        le.fill(0x5A);
        kelStoreBE64(be.data() + offset, 0x0123456789ABCDEFull);
        kelStoreLE64(le.data() + offset, 0xEFCDAB8967452301ull);
        for (size_t i = 0; i < be.size(); ++i) {
            const bool inside = i >= offset && i < offset + 8;
            EXPECT_EQ(be[i], inside ? kGolden[i - offset] : 0x5A) << i;
            EXPECT_EQ(le[i], inside ? kGolden[i - offset] : 0x5A) << i;
        }
        std::array<uint8_t, 8> small{};
        kelStoreBE16(small.data() + offset, 0xFE01);
        kelStoreLE32(small.data() + offset, 0x04030201u);
        EXPECT_EQ(small[offset], 0x01);
        EXPECT_EQ(small[offset + 3], 0x04);
        kelStoreBE32(small.data() + offset, 0x80000001u);
        kelStoreLE16(small.data() + offset + 2, 0xFE01);
        EXPECT_EQ(kelLoadBE32(small.data() + offset), 0x800001FEu);
    }
}
