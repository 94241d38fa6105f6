#pragma once
// A byte pattern that depends on the absolute position in a stream, so a
// reader can check every byte it gets without keeping a copy of what was
// written: lost, repeated or reordered bytes all show.

#include <cstddef>
#include <cstdint>
#include <string>

inline uint8_t kelTestPatternByte(uint64_t position) noexcept
{
    // Mixes the high bits in, so a shift by a multiple of 256 shows too.
    return uint8_t(position * 131u + (position >> 8) * 7u + (position >> 16));
}

inline void kelTestFillPattern(uint8_t* out, size_t size, uint64_t start) noexcept
{
    for (size_t i = 0; i < size; ++i)
        out[i] = kelTestPatternByte(start + i);
}

inline std::string kelTestPattern(size_t size, uint64_t start = 0)
{
    std::string out(size, '\0');
    kelTestFillPattern(reinterpret_cast<uint8_t*>(out.data()), size, start);
    return out;
}

// Index of the first byte of `data` that is not the pattern from `start`;
// `size` when all match.
inline size_t kelTestPatternMismatch(const uint8_t* data, size_t size, uint64_t start) noexcept
{
    for (size_t i = 0; i < size; ++i)
        if (data[i] != kelTestPatternByte(start + i)) return i;
    return size;
}
