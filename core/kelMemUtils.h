#pragma once
// Memory blocks and searches in them. Pure routines; any thread.

#include <cstddef>
#include <cstdint>

// A block of `size` bytes, every byte set to `fill` when `clear`. Null for
// size 0 or when memory is short. Free with freeMem.
void* allocMem(size_t size, bool clear = false, uint8_t fill = 0) noexcept;
// Resizes a block of allocMem (null `block` allocates, size 0 frees and
// returns null). On failure the old block stays valid and null is returned.
void* reallocMem(void* block, size_t size) noexcept;
void freeMem(void* block) noexcept;

// Byte-wise equality. Count 0 or an absent pointer compares equal only when
// the two pointers are equal.
bool memEquals(const void* a, const void* b, size_t count) noexcept;

// Index of the first match, -1 when none (or for a null array).
intptr_t findByte(const void* data, size_t len, uint8_t value) noexcept;
intptr_t findUInt32(const uint32_t* values, size_t count, uint32_t value) noexcept;
intptr_t findInt64(const int64_t* values, size_t count, int64_t value) noexcept;
// Searches from the end: the index of the last match.
intptr_t findPointer(const void* const* values, size_t count, const void* value) noexcept;
// Offset of the first occurrence of `pattern`; -1 when none or when either
// is empty.
intptr_t findBytes(const void* data, size_t dataLen, const void* pattern, size_t patternLen) noexcept;

// Swaps the two bytes of every 16-bit word; an odd last byte stays.
void swapBytePairs(void* buffer, size_t size) noexcept;

// Bytes handed out by the allocator and not yet freed.
uint64_t memoryInUse() noexcept;

// Greatest common divisor of |a| and |b| (gcd(0, 0) = 0).
uint64_t gcd(int64_t a, int64_t b) noexcept;

// 16-byte equality; two absent pointers are equal.
bool guidEquals(const void* a, const void* b) noexcept;
