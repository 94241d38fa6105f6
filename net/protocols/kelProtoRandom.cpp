#include "net/protocols/kelProtoRandom.h"

#include <sys/random.h>

#include <random>

void kelProtoRandomBytes(uint8_t* out, size_t size) noexcept
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::getrandom(out + done, size - done, 0);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    if (done == size) return;
    // The kernel's generator failed (it does not, short of a seccomp
    // filter): the standard device is the next best.
    try {
        std::random_device rd;
        for (; done < size; ++done)
            out[done] = static_cast<uint8_t>(rd());
    } catch (...) {
        for (; done < size; ++done)
            out[done] = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(out + done) * 2654435761u >> 13);
    }
}

uint32_t kelProtoRandom32() noexcept
{
    uint8_t b[4];
    kelProtoRandomBytes(b, sizeof b);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}
