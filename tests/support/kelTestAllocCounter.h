#pragma once
// Counts the heap allocations made through operator new on the calling
// thread, for tests that check a path allocates nothing in steady state.
//
// A test program that wants the count puts KEL_TEST_COUNT_ALLOCATIONS() in
// exactly one of its sources: it replaces the global operator new and delete
// for that program (they stay plain malloc/free, so sanitizers still see
// every block). Without it, kelTestAllocations() stays 0.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

inline thread_local uint64_t kelTestAllocationCount = 0;

// Allocations made so far on this thread.
inline uint64_t kelTestAllocations() noexcept
{
    return kelTestAllocationCount;
}

inline void* kelTestCountedAlloc(std::size_t size) noexcept
{
    ++kelTestAllocationCount;
    return std::malloc(size == 0 ? 1 : size);
}

#define KEL_TEST_COUNT_ALLOCATIONS()                                                                         \
    void* operator new(std::size_t size)                                                                     \
    {                                                                                                        \
        if (void* p = kelTestCountedAlloc(size)) return p;                                                   \
        throw std::bad_alloc();                                                                              \
    }                                                                                                        \
    void* operator new[](std::size_t size)                                                                   \
    {                                                                                                        \
        if (void* p = kelTestCountedAlloc(size)) return p;                                                   \
        throw std::bad_alloc();                                                                              \
    }                                                                                                        \
    void* operator new(std::size_t size, const std::nothrow_t&) noexcept                                     \
    {                                                                                                        \
        return kelTestCountedAlloc(size);                                                                    \
    }                                                                                                        \
    void* operator new[](std::size_t size, const std::nothrow_t&) noexcept                                   \
    {                                                                                                        \
        return kelTestCountedAlloc(size);                                                                    \
    }                                                                                                        \
    void operator delete(void* p) noexcept                                                                   \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p) noexcept                                                                 \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete(void* p, std::size_t) noexcept                                                      \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p, std::size_t) noexcept                                                    \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete(void* p, const std::nothrow_t&) noexcept                                            \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p, const std::nothrow_t&) noexcept                                          \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }
