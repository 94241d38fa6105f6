#pragma once
// Fuzz input taken as little-endian numbers of a few bytes each, zero past
// its end, so a target can draw its parameters without checking lengths.

#include <cstddef>
#include <cstdint>

struct kelFuzzInput
{
    const uint8_t* data;
    size_t size, at = 0;
    uint64_t take(size_t bytes)
    {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i)
            v |= uint64_t(at < size ? data[at++] : 0) << (8 * i);
        return v;
    }
};
