#include "net/rtp/kelNTPTimestamp.h"

#include "core/kelByteOrder.h"

#include <array>

namespace {

// Greedy expansion of m/1000 ms: bit 31 is worth 500 ms, bit 30 250 ms, ...
// Every bit value 1000 / 2^k is exact in binary, so the greedy walk is the
// same as floor(m × 2^32 / 1000); it is written as the walk to keep the
// table's definition visible.
constexpr std::array<uint32_t, 1000> makeFractionTable()
{
    std::array<uint32_t, 1000> table{};
    for (uint32_t m = 0; m < 1000; ++m) {
        // Work in units of 1/2^32 ms × 1000 to stay in integers: the
        // remainder is m × 2^32 and bit b is worth 1000 × 2^b.
        uint64_t rest = uint64_t(m) << 32;
        uint32_t fraction = 0;
        for (int bit = 31; bit >= 0; --bit) {
            const uint64_t worth = uint64_t(1000) << bit;
            if (rest >= worth) {
                rest -= worth;
                fraction |= uint32_t(1) << bit;
            }
        }
        table[m] = fraction;
    }
    return table;
}

constexpr std::array<uint32_t, 1000> kFractionTable = makeFractionTable();

static_assert(kFractionTable[500] == 0x80000000u);
static_assert(kFractionTable[250] == 0x40000000u);
static_assert(kFractionTable[1] == 4294967u);

} // namespace

uint32_t ntpFractionFromMs(uint32_t ms) noexcept
{
    return kFractionTable[ms % 1000];
}

const uint32_t* ntpFractionTable() noexcept
{
    return kFractionTable.data();
}

kelNTP_timestamp ntpFromUnixMs(uint64_t unixMs) noexcept
{
    kelNTP_timestamp ntp;
    ntp.r_seconds = static_cast<uint32_t>(unixMs / 1000 + kelNTPUnixEpochOffset);
    ntp.r_fraction = kFractionTable[unixMs % 1000];
    return ntp;
}

uint64_t ntpToMs(const kelNTP_timestamp& ntp) noexcept
{
    const uint64_t fractionMs = (uint64_t(ntp.r_fraction) * 1000 + (uint64_t(1) << 31)) >> 32;
    return uint64_t(ntp.r_seconds) * 1000 + fractionMs;
}

kelNTP_timestamp ntpFromMs(uint64_t ms) noexcept
{
    kelNTP_timestamp ntp;
    ntp.r_seconds = static_cast<uint32_t>(ms / 1000);
    ntp.r_fraction = kFractionTable[ms % 1000];
    return ntp;
}

void ntpWrite(uint8_t* out, const kelNTP_timestamp& ntp) noexcept
{
    kelStoreBE32(out, ntp.r_seconds);
    kelStoreBE32(out + 4, ntp.r_fraction);
}

kelNTP_timestamp ntpRead(const uint8_t* in) noexcept
{
    kelNTP_timestamp ntp;
    ntp.r_seconds = kelLoadBE32(in);
    ntp.r_fraction = kelLoadBE32(in + 4);
    return ntp;
}
