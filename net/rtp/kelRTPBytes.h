#pragma once
// Big-endian (network order) reads and writes on raw packet bytes. The wire
// code of this folder reads and writes every field byte by byte, so no
// structure layout or host byte order leaks onto the wire.

#include <cstdint>

inline uint16_t rtpRead16(const uint8_t* p) noexcept
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t rtpRead32(const uint8_t* p) noexcept
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void rtpWrite16(uint8_t* p, uint16_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void rtpWrite32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Little-endian forms, for the round-trip probe whose payload travels in the
// prober's own (little-endian) order.
inline uint32_t rtpReadLE32(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void rtpWriteLE32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint64_t rtpReadLE64(const uint8_t* p) noexcept
{
    return uint64_t(rtpReadLE32(p)) | (uint64_t(rtpReadLE32(p + 4)) << 32);
}

inline void rtpWriteLE64(uint8_t* p, uint64_t v) noexcept
{
    rtpWriteLE32(p, static_cast<uint32_t>(v));
    rtpWriteLE32(p + 4, static_cast<uint32_t>(v >> 32));
}
