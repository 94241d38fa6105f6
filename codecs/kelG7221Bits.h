#pragma once
// Bit strings of G.722.1 frames: one continuous string per frame, sent most
// significant bit first, byte 0 holding bits 1-8 (the RTP payload order).
//
// Plain values; one thread at a time.

#include <cstdint>

class kelG7221BitWriter
{
public:
    // Writes into `capacityBits` bits at `data`; bits past the capacity are
    // counted but dropped. The bytes are complete after finish().
    kelG7221BitWriter(uint8_t* data, int capacityBits) noexcept : f_data(data), f_capacity(capacityBits) {}

    // Appends the `count` (0..32) low bits of `value`, most significant first.
    void put(uint32_t value, int count) noexcept
    {
        if (count <= 0) return;
        f_acc = (f_acc << count) | (value & (0xFFFFFFFFu >> (32 - count)));
        f_pending += count;
        f_bits += count;
        while (f_pending >= 8) {
            f_pending -= 8;
            if (f_byte * 8 < f_capacity) f_data[f_byte] = uint8_t(f_acc >> f_pending);
            ++f_byte;
        }
    }

    // Writes out the last, partial byte (its low bits zero).
    void finish() noexcept
    {
        if (f_pending > 0 && f_byte * 8 < f_capacity) f_data[f_byte] = uint8_t(f_acc << (8 - f_pending));
    }

    int bits() const noexcept { return f_bits; }

private:
    uint8_t* f_data;
    int f_capacity;
    int f_bits = 0;
    uint64_t f_acc = 0;
    int f_pending = 0; // bits in f_acc not yet written
    int f_byte = 0;
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
