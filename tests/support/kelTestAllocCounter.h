#pragma once
// Counts the heap allocations made through operator new on the calling
// thread, for tests that check a path allocates nothing in steady state.
// A test program that wants the count puts KEL_TEST_COUNT_ALLOCATIONS() in
// exactly one of its sources: it replaces the global operator new and delete
// with counted malloc/free (sanitizers still see every block). Every form
// is replaced, plain, array and nothrow alike: a sanitizer runtime supplies
// the forms a program leaves out, and its blocks must not reach our free.

#include <cstdint>
#include <cstdlib>
#include <new>

inline thread_local uint64_t kelTestAllocationCount = 0;

inline uint64_t kelTestAllocations() noexcept
{
    return kelTestAllocationCount;
}

#define KEL_TEST_COUNT_ALLOCATIONS()                                                                         \
    void* operator new(std::size_t size)                                                                     \
    {                                                                                                        \
        ++kelTestAllocationCount;                                                                            \
        if (void* p = std::malloc(size == 0 ? 1 : size)) return p;                                           \
        throw std::bad_alloc();                                                                              \
    }                                                                                                        \
    void* operator new[](std::size_t size)                                                                   \
    {                                                                                                        \
        return ::operator new(size);                                                                         \
    }                                                                                                        \
    void* operator new(std::size_t size, const std::nothrow_t&) noexcept                                     \
    {                                                                                                        \
        ++kelTestAllocationCount;                                                                            \
        return std::malloc(size == 0 ? 1 : size);                                                            \
    }                                                                                                        \
    void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept                               \
    {                                                                                                        \
        return ::operator new(size, tag);                                                                    \
    }                                                                                                        \
    void operator delete(void* p) noexcept                                                                   \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete(void* p, std::size_t) noexcept                                                      \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete(void* p, const std::nothrow_t&) noexcept                                            \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p) noexcept                                                                 \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p, std::size_t) noexcept                                                    \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }                                                                                                        \
    void operator delete[](void* p, const std::nothrow_t&) noexcept                                          \
    {                                                                                                        \
        std::free(p);                                                                                        \
    }
