#pragma once
// The library CRC. Its values are stored and exchanged (format blocks in the
// pipes, packet checks), so its two quirks are part of the contract:
//  - it is the reflected, table-driven CRC-32 (polynomial 0xEDB88320) with
//    table entry 0 set to 0x000000AA instead of 0;
//  - the loop stops as soon as the running value becomes 0, leaving the rest
//    of the input unread.
// No final inversion is applied; callers pass 0xFFFFFFFF as the initial
// value. Pure routines; any thread.

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr uint32_t kelCrcInitial = 0xFFFFFFFFu;

// `initial` for a null buffer or a length of 0.
uint32_t libCrc32(const void* data, size_t len, uint32_t initial = kelCrcInitial) noexcept;
uint32_t libCrc32(std::string_view bytes, uint32_t initial = kelCrcInitial) noexcept;

// The four bytes of libCrc32(data, len, 0xFFFFFFFF) XORed together.
uint8_t crc8(const void* data, size_t len) noexcept;
