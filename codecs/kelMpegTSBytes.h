#pragma once
// kelMpegTSBytes: a read cursor over a span of transport stream bytes (one
// packet, one section body, one descriptor loop) that never reads past the
// span's end. A read that would cross the end gives 0, leaves the cursor at
// the end and marks it overrun, so parsers of hostile input stay inside the
// bytes they were given whatever lengths the input claims.
//
// Fields are big-endian, as on the wire. Any thread; holds no state beyond
// the span it reads.

#include <algorithm>
#include <cstdint>

class kelMpegTSBytes
{
public:
    kelMpegTSBytes() noexcept = default;
    kelMpegTSBytes(const uint8_t* data, intptr_t size) noexcept
        : f_p(data), f_end(data + std::max<intptr_t>(size, 0))
    {}

    intptr_t remaining() const noexcept { return intptr_t(f_end - f_p); }
    const uint8_t* here() const noexcept { return f_p; }
    // A read asked for more than the span held.
    bool overrun() const noexcept { return f_overrun; }

    uint32_t u8() noexcept { return uint32_t(read(1)); }
    uint32_t u16() noexcept { return uint32_t(read(2)); }
    uint32_t u24() noexcept { return uint32_t(read(3)); }
    uint32_t u32() noexcept { return uint32_t(read(4)); }

    // The next `n` bytes, consumed; null (and the cursor at the end) when
    // fewer are left.
    const uint8_t* take(intptr_t n) noexcept
    {
        if (n < 0 || n > remaining()) {
            toEnd();
            return nullptr;
        }
        const uint8_t* at = f_p;
        f_p += n;
        return at;
    }
    // Skips `n` bytes, or what is left of them.
    void skip(intptr_t n) noexcept { f_p += std::clamp<intptr_t>(n, 0, remaining()); }
    // A cursor over the next min(`n`, remaining) bytes, which this one skips:
    // a length field read from the input bounds the sub-parse and can never
    // widen it.
    kelMpegTSBytes sub(intptr_t n) noexcept
    {
        const intptr_t size = std::clamp<intptr_t>(n, 0, remaining());
        kelMpegTSBytes part(f_p, size);
        f_p += size;
        return part;
    }

private:
    uint64_t read(intptr_t n) noexcept
    {
        if (n > remaining()) {
            toEnd();
            return 0;
        }
        uint64_t v = 0;
        for (intptr_t i = 0; i < n; ++i)
            v = (v << 8) | f_p[i];
        f_p += n;
        return v;
    }
    void toEnd() noexcept
    {
        f_p = f_end;
        f_overrun = true;
    }

    const uint8_t* f_p = nullptr;
    const uint8_t* f_end = nullptr;
    bool f_overrun = false;
};
