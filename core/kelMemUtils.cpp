#include "core/kelMemUtils.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <utility>

void* allocMem(size_t size, bool clear, uint8_t fill) noexcept
{
    if (size == 0) return nullptr;
    void* block = std::malloc(size);
    if (block != nullptr && clear) std::memset(block, fill, size);
    return block;
}

void* reallocMem(void* block, size_t size) noexcept
{
    if (size == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, size);
}

void freeMem(void* block) noexcept
{
    std::free(block);
}

bool memEquals(const void* a, const void* b, size_t count) noexcept
{
    if (a == nullptr || b == nullptr || count == 0) return a == b;
    return std::memcmp(a, b, count) == 0;
}

intptr_t findByte(const void* data, size_t len, uint8_t value) noexcept
{
    if (data == nullptr || len == 0) return -1;
    const void* hit = std::memchr(data, value, len);
    return hit == nullptr ? -1 : static_cast<const uint8_t*>(hit) - static_cast<const uint8_t*>(data);
}

intptr_t findUInt32(const uint32_t* values, size_t count, uint32_t value) noexcept
{
    if (values == nullptr) return -1;
    for (size_t i = 0; i < count; ++i)
        if (values[i] == value) return static_cast<intptr_t>(i);
    return -1;
}

intptr_t findInt64(const int64_t* values, size_t count, int64_t value) noexcept
{
    if (values == nullptr) return -1;
    for (size_t i = 0; i < count; ++i)
        if (values[i] == value) return static_cast<intptr_t>(i);
    return -1;
}

intptr_t findPointer(const void* const* values, size_t count, const void* value) noexcept
{
    if (values == nullptr) return -1;
    for (size_t i = count; i > 0; --i)
        if (values[i - 1] == value) return static_cast<intptr_t>(i - 1);
    return -1;
}

intptr_t findBytes(const void* data, size_t dataLen, const void* pattern, size_t patternLen) noexcept
{
    if (data == nullptr || pattern == nullptr || dataLen == 0 || patternLen == 0) return -1;
    const void* hit = ::memmem(data, dataLen, pattern, patternLen);
    return hit == nullptr ? -1 : static_cast<const uint8_t*>(hit) - static_cast<const uint8_t*>(data);
}

void swapBytePairs(void* buffer, size_t size) noexcept
{
    if (buffer == nullptr) return;
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i + 1 < size; i += 2)
        std::swap(p[i], p[i + 1]);
}

uint64_t memoryInUse() noexcept
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<uint64_t>(info.uordblks) + static_cast<uint64_t>(info.hblkhd);
}

uint64_t gcd(int64_t a, int64_t b) noexcept
{
    uint64_t x = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
    uint64_t y = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
    while (y != 0) {
        const uint64_t r = x % y;
        x = y;
        y = r;
    }
    return x;
}

bool guidEquals(const void* a, const void* b) noexcept
{
    if (a == nullptr || b == nullptr) return a == b;
    return std::memcmp(a, b, 16) == 0;
}
