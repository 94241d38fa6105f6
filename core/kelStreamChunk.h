#pragma once
// kelStreamChunk: one block of a memory stream. It owns a buffer of
// bufSize() bytes holding dataSize() bytes of data, of which the first
// offset() have been consumed. Its memory stream's lock guards it; a chunk
// alone is not shared between threads.

#include "core/kelObject.h"

#include <cstdint>

class kelStreamChunk : public kelObject
{
public:
    // Copies `size` bytes of `buf` (none when absent); an allocation that
    // fails leaves the chunk empty.
    kelStreamChunk(const void* buf = nullptr, intptr_t size = 0) noexcept;
    ~kelStreamChunk() override;

    // Unconsumed bytes.
    intptr_t getSize() const noexcept { return f_dataSize - f_offset; }
    // Copies up to getSize() bytes of the unconsumed part into `buf` (when
    // given) and, with `remove`, consumes them. The bytes taken.
    intptr_t read(void* buf, intptr_t size, bool remove) noexcept;
    // Replaces the data with `size` bytes of `buf` (absent: the chunk becomes
    // empty) and resets the offset. The buffer grows when too small and
    // never shrinks. False when it could not grow (the chunk is then empty).
    bool setBufData(const void* buf, intptr_t size) noexcept;
    // Appends `size` bytes, growing the buffer to exactly what is needed.
    // False when it could not grow (the data is then unchanged).
    bool addData(const void* buf, intptr_t size) noexcept;

    // Grows the buffer (keeping the data) so that it holds `size` bytes.
    bool reserve(intptr_t size) noexcept { return size <= f_bufSize || grow(size, true); }

    const uint8_t* data() const noexcept { return f_buf + f_offset; }
    intptr_t bufSize() const noexcept { return f_bufSize; }
    intptr_t dataSize() const noexcept { return f_dataSize; }
    intptr_t offset() const noexcept { return f_offset; }

    kelString _classID() const override { return u"kelStreamChunk"; }

private:
    bool grow(intptr_t size, bool keep) noexcept;

    uint8_t* f_buf = nullptr;
    intptr_t f_bufSize = 0;
    intptr_t f_dataSize = 0;
    intptr_t f_offset = 0;
};
