#pragma once
// Fixed-order loads and stores of 16-, 32- and 64-bit values on raw bytes.
// Pure routines; any thread; the pointer needs no alignment.
//
// Wire and file formats are read and written byte by byte through these, so
// neither a structure layout nor the host's byte order leaks into them:
// big-endian (network order) for RTP, RTCP, NTP and the other network
// headers, little-endian for RIFF data and the library's own probes.

#include <cstdint>

inline constexpr uint16_t kelLoadBE16(const uint8_t* p) noexcept
{
    return static_cast<uint16_t>((uint16_t(p[0]) << 8) | uint16_t(p[1]));
}

inline constexpr uint32_t kelLoadBE32(const uint8_t* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline constexpr uint64_t kelLoadBE64(const uint8_t* p) noexcept
{
    return (uint64_t(kelLoadBE32(p)) << 32) | uint64_t(kelLoadBE32(p + 4));
}

inline constexpr void kelStoreBE16(uint8_t* p, uint16_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline constexpr void kelStoreBE32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline constexpr void kelStoreBE64(uint8_t* p, uint64_t v) noexcept
{
    kelStoreBE32(p, static_cast<uint32_t>(v >> 32));
    kelStoreBE32(p + 4, static_cast<uint32_t>(v));
}

inline constexpr uint16_t kelLoadLE16(const uint8_t* p) noexcept
{
    return static_cast<uint16_t>(uint16_t(p[0]) | (uint16_t(p[1]) << 8));
}

inline constexpr uint32_t kelLoadLE32(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline constexpr uint64_t kelLoadLE64(const uint8_t* p) noexcept
{
    return uint64_t(kelLoadLE32(p)) | (uint64_t(kelLoadLE32(p + 4)) << 32);
}

inline constexpr void kelStoreLE16(uint8_t* p, uint16_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline constexpr void kelStoreLE32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline constexpr void kelStoreLE64(uint8_t* p, uint64_t v) noexcept
{
    kelStoreLE32(p, static_cast<uint32_t>(v));
    kelStoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
