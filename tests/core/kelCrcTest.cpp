#include "core/kelCrc.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

namespace {

// The checksum rebuilt from its definition, bit by bit, with a switch for
// the early stop so tests can tell the two apart.
struct ReferenceCrc
{
    std::array<uint32_t, 256> table{};

    ReferenceCrc()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t v = i;
            for (int k = 0; k < 8; ++k)
                v = (v >> 1) ^ (0xEDB88320u & (0u - (v & 1u)));
            table[i] = v;
        }
        table[0] = 0xAA;
    }

    uint32_t run(const std::string& data, uint32_t value, bool earlyStop) const
    {
        for (const char c : data) {
            value = (value >> 8) ^ table[(value ^ static_cast<uint8_t>(c)) & 0xFF];
            if (earlyStop && value == 0) break;
        }
        return value;
    }

    // `n` bytes from `value` where each step's index is 0 with the odds
    // `zeroIn` (1 in that many), else random: long inputs then meet index 0
    // wherever the blocks put it, also twice in one block and back to back.
    std::string withZeroIndices(std::mt19937& rng, size_t n, uint32_t value, uint32_t zeroIn) const
    {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            const auto byte = static_cast<uint8_t>(rng() % zeroIn == 0 ? value & 0xFF : rng());
            out.push_back(static_cast<char>(byte));
            value = (value >> 8) ^ table[(value ^ byte) & 0xFF];
        }
        return out;
    }

    // Four bytes that drive the running value from `from` to `to`: each
    // table entry has its own top byte, so the indices follow from `to`
    // backwards and the bytes from `from` forwards.
    std::string forge(uint32_t from, uint32_t to) const
    {
        std::array<uint8_t, 4> idx{};
        for (int k = 3; k >= 0; --k) {
            for (uint32_t i = 0; i < 256; ++i)
                if ((table[i] >> 24) == (to >> 24)) idx[size_t(k)] = static_cast<uint8_t>(i);
            to = (to ^ table[idx[size_t(k)]]) << 8;
        }
        std::string out;
        for (const uint8_t i : idx) {
            out.push_back(static_cast<char>((from ^ i) & 0xFF));
            from = (from >> 8) ^ table[i];
        }
        return out;
    }
};

} // namespace

TEST(kelCrcTest, MatchesStandardCrc32WhereTheQuirksDoNotApply)
{
    // zlib.crc32(b"123456789") == 0xCBF43926; this one skips the final inversion.
    EXPECT_EQ(libCrc32("123456789"), ~0xCBF43926u);
    EXPECT_EQ(crc8("123456789", 9), 0x20);
    EXPECT_EQ(libCrc32(nullptr, 10, 0x12345678u), 0x12345678u); // no data: the initial value
    EXPECT_EQ(libCrc32("abc", 0, 0x12345678u), 0x12345678u);
}

TEST(kelCrcTest, TableEntryZeroIsAA)
{
    // 0xFF against the initial value hits index 0: 0x00FFFFFF ^ 0xAA.
    EXPECT_EQ(libCrc32("\xFF"), 0x00FFFF55u);
}

TEST(kelCrcTest, StopsAtAZeroRunningValue)
{
    const ReferenceCrc ref;
    const std::string head = "prefix";
    const std::string toZero = head + ref.forge(ref.run(head, kelCrcInitial, true), 0);
    ASSERT_EQ(ref.run(toZero, kelCrcInitial, true), 0u);
    EXPECT_EQ(libCrc32(toZero), 0u);
    // Whatever follows is never read.
    EXPECT_EQ(libCrc32(toZero + "tail that changes nothing"), 0u);
    EXPECT_NE(ref.run(toZero + "tail that changes nothing", kelCrcInitial, false), 0u);
    EXPECT_EQ(crc8(toZero.data(), toZero.size()), 0);
}

TEST(kelCrcTest, AgreesWithTheDefinitionOnRandomInput)
{
    const ReferenceCrc ref;
    std::mt19937 rng(3);
    for (int i = 0; i < 500; ++i) {
        std::string data(rng() % 300, '\0');
        // Small alphabets make index 0 frequent.
        for (char& c : data)
            c = static_cast<char>(i % 2 ? rng() : rng() % 4 + 0xFC);
        const uint32_t initial = i % 3 ? kelCrcInitial : static_cast<uint32_t>(rng());
        ASSERT_EQ(libCrc32(data, initial), ref.run(data, initial, true));
    }
}

// Long inputs run eight bytes at a time: the stop must be found wherever it
// falls inside such a block, and with any tail after it.
TEST(kelCrcTest, StopsAtEveryPositionOfALongInput)
{
    const ReferenceCrc ref;
    std::mt19937 rng(5);
    for (size_t headLen = 0; headLen < 24; ++headLen) {
        std::string head(headLen, '\0');
        for (char& c : head)
            c = static_cast<char>(rng());
        std::string data = head + ref.forge(ref.run(head, kelCrcInitial, true), 0);
        data += std::string(40, 'x');
        SCOPED_TRACE(headLen);
        ASSERT_EQ(ref.run(data, kelCrcInitial, true), 0u);
        EXPECT_EQ(libCrc32(data), 0u);
    }
}

// Inputs dense with index 0, from every start offset and for each initial
// value kind, against the definition: the blocks must place each such step's
// entry, whether the block has one, two or more of them, at any position.
TEST(kelCrcTest, AgreesWithTheDefinitionWhereIndexZeroIsFrequent)
{
    const ReferenceCrc ref;
    std::mt19937 rng(7);
    for (const uint32_t zeroIn : {2u, 5u, 16u, 64u}) {
        for (int i = 0; i < 300; ++i) {
            const uint32_t initial = i % 2 ? kelCrcInitial : static_cast<uint32_t>(rng());
            const size_t offset = static_cast<size_t>(i) % 8;
            const std::string data =
                std::string(offset, 'o') + ref.withZeroIndices(rng, rng() % 400, initial, zeroIn);
            const uint32_t got = libCrc32(data.data() + offset, data.size() - offset, initial);
            ASSERT_EQ(got, ref.run(data.substr(offset), initial, true)) << zeroIn << " " << i;
        }
    }
}

// The early stop at every position of the first four blocks, with and
// without another index-0 step shortly before it.
TEST(kelCrcTest, StopsAfterAnEarlierIndexZeroInTheSameBlock)
{
    const ReferenceCrc ref;
    std::mt19937 rng(11);
    for (size_t headLen = 0; headLen < 64; ++headLen) {
        for (const uint32_t zeroIn : {2u, 1000u}) {
            const std::string head = ref.withZeroIndices(rng, headLen, kelCrcInitial, zeroIn);
            std::string data = head + ref.forge(ref.run(head, kelCrcInitial, true), 0);
            if (ref.run(head, kelCrcInitial, true) == 0) continue; // stopped inside the head already
            data += ref.withZeroIndices(rng, 40, 0, zeroIn);
            SCOPED_TRACE(headLen);
            ASSERT_EQ(ref.run(data, kelCrcInitial, true), 0u);
            EXPECT_EQ(libCrc32(data), 0u);
        }
    }
}
