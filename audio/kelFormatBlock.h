#pragma once
// kelFormatBlock: a heap block that holds one wave format record and is
// resized in place by the format routines (a device owns one per side). It
// owns its bytes; moving hands them over. Not thread-safe: its owner
// serialises access. Nothing here raises: a failed allocation leaves the
// block as it was and reports false.

#include "audio/kelWaveFormats.h"

#include <cstddef>
#include <cstdint>

class kelFormatBlock
{
public:
    kelFormatBlock() = default;
    ~kelFormatBlock();
    kelFormatBlock(kelFormatBlock&& other) noexcept;
    kelFormatBlock& operator=(kelFormatBlock&& other) noexcept;
    kelFormatBlock(const kelFormatBlock&) = delete;
    kelFormatBlock& operator=(const kelFormatBlock&) = delete;

    uint8_t* data() noexcept { return f_data; }
    const uint8_t* data() const noexcept { return f_data; }
    size_t size() const noexcept { return f_size; }
    bool empty() const noexcept { return f_data == nullptr; }

    // The block as a record; null when it is shorter than the record.
    WAVEFORMATEX* format() noexcept;
    const WAVEFORMATEX* format() const noexcept;
    WAVEFORMATEXTENSIBLE* formatExt() noexcept;
    const WAVEFORMATEXTENSIBLE* formatExt() const noexcept;

    // Resizes to `size` bytes, keeping the bytes that fit and zeroing the
    // ones added; size 0 frees. False (block unchanged) when memory is short.
    bool resize(size_t size) noexcept;
    void reset() noexcept;

private:
    uint8_t* f_data = nullptr;
    size_t f_size = 0;
};
