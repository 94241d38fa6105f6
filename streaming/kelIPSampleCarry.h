#pragma once
// Whole units of 16-bit PCM out of writes of any length. A pipe may hand
// the transmitter blocks that end inside a sample (or inside the sample
// pair an ADPCM block codes); the part that does not make a whole unit is
// kept and goes in front of the next write, so that no byte is dropped and
// the later samples keep their alignment. One thread at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

class kelIPSampleCarry
{
public:
    // The whole `unit`-byte units (2 or 4) of the kept bytes followed by
    // `data`, as aligned samples; `samples` gets their count. What is left
    // over is kept. Null when there is no whole unit.
    const int16_t* take(const uint8_t* data, size_t len, size_t unit, size_t& samples);
    // Bytes kept for the next write.
    size_t kept() const noexcept { return f_keptLen; }
    void clear() noexcept { f_keptLen = 0; }

private:
    std::vector<int16_t> f_buf;
    uint8_t f_kept[4] = {};
    size_t f_keptLen = 0;
};
