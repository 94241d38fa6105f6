#pragma once
// Bit strings of G.722.1 frames: one continuous string per frame, sent most
// significant bit first, byte 0 holding bits 1-8 (the RTP payload order).
//
// Plain values; one thread at a time.

#include <cstdint>
#include <cstring>

class kelG7221BitWriter
{
public:
    // Writes into `capacityBits` bits at `data` (cleared first); bits past
    // the capacity are counted but dropped.
    kelG7221BitWriter(uint8_t* data, int capacityBits) noexcept : f_data(data), f_capacity(capacityBits)
    {
        std::memset(data, 0, size_t(capacityBits + 7) / 8);
    }

    // Appends the `count` (0..32) low bits of `value`, most significant first.
    void put(uint32_t value, int count) noexcept
    {
        for (int i = count - 1; i >= 0; --i) {
            if (f_bits < f_capacity && ((value >> i) & 1u) != 0)
                f_data[f_bits >> 3] = uint8_t(f_data[f_bits >> 3] | (0x80u >> (f_bits & 7)));
            ++f_bits;
        }
    }

    int bits() const noexcept { return f_bits; }

private:
    uint8_t* f_data;
    int f_capacity;
    int f_bits = 0;
};

class kelG7221BitReader
{
public:
    kelG7221BitReader(const uint8_t* data, int bits) noexcept : f_data(data), f_size(bits) {}

    // The next bit; past the end, 1 (what padding holds).
    int next() noexcept
    {
        if (f_pos >= f_size) return 1;
        const int bit = (f_data[f_pos >> 3] >> (7 - (f_pos & 7))) & 1;
        ++f_pos;
        return bit;
    }

    int bits(int count) noexcept
    {
        int value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 1) | next();
        return value;
    }

private:
    const uint8_t* f_data;
    int f_size;
    int f_pos = 0;
};
