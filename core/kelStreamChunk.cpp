#include "core/kelStreamChunk.h"

#include <algorithm>
#include <cstring>
#include <new>

kelStreamChunk::kelStreamChunk(const void* buf, intptr_t size) noexcept
{
    if (buf != nullptr && size > 0) (void)setBufData(buf, size);
}

kelStreamChunk::~kelStreamChunk()
{
    delete[] f_buf;
}

intptr_t kelStreamChunk::read(void* buf, intptr_t size, bool remove) noexcept
{
    const intptr_t taken = std::clamp<intptr_t>(size, 0, getSize());
    if (taken == 0) return 0;
    if (buf != nullptr) std::memcpy(buf, f_buf + f_offset, size_t(taken));
    if (remove) f_offset += taken;
    return taken;
}

bool kelStreamChunk::grow(intptr_t size, bool keep) noexcept
{
    auto* bigger = new (std::nothrow) uint8_t[size_t(size)];
    if (bigger == nullptr) return false;
    if (keep && f_dataSize > 0) std::memcpy(bigger, f_buf, size_t(f_dataSize));
    delete[] f_buf;
    f_buf = bigger;
    f_bufSize = size;
    return true;
}

bool kelStreamChunk::setBufData(const void* buf, intptr_t size) noexcept
{
    f_offset = 0;
    f_dataSize = 0;
    if (buf == nullptr || size <= 0) return true;
    if (size > f_bufSize && !grow(size, false)) return false;
    std::memcpy(f_buf, buf, size_t(size));
    f_dataSize = size;
    return true;
}

bool kelStreamChunk::addData(const void* buf, intptr_t size) noexcept
{
    if (buf == nullptr || size <= 0) return true;
    if (size > INTPTR_MAX - f_dataSize) return false;
    const intptr_t needed = f_dataSize + size;
    if (needed > f_bufSize && !grow(needed, true)) return false;
    std::memcpy(f_buf + f_dataSize, buf, size_t(size));
    f_dataSize = needed;
    return true;
}
