#include "audio/kelRiffReadAhead.h"

#include "audio/kelRIFile.h"

#include <algorithm>
#include <cstring>

intptr_t kelRiffReadAhead::read(const kelRIFFChunk* chunk, int64_t offset, void* dst, intptr_t size) noexcept
{
    if (chunk == nullptr || dst == nullptr || offset < 0 || size <= 0) return 0;
    auto* out = static_cast<uint8_t*>(dst);
    intptr_t done = 0;
    while (done < size) {
        const int64_t at = offset + done;
        const bool held = chunk == f_chunk && at >= f_start && at < f_start + f_held;
        if (!held) {
            // A read as large as a block gains nothing from the copy, and
            // without a block the file is read directly.
            if (size - done >= kBlockBytes || !haveBlock()) {
                done += std::max<intptr_t>(chunk->readBuf(at, out + done, size - done), 0);
                break;
            }
            if (!refill(chunk, at)) break;
        }
        const intptr_t n = std::min<intptr_t>(size - done, intptr_t(f_start + f_held - at));
        std::memcpy(out + done, f_block.data() + (at - f_start), size_t(n));
        done += n;
    }
    return done;
}

bool kelRiffReadAhead::haveBlock() noexcept
{
    if (f_block.size() >= size_t(kBlockBytes)) return true;
    try {
        f_block.resize(size_t(kBlockBytes));
    } catch (...) {
        return false;
    }
    return true;
}

bool kelRiffReadAhead::refill(const kelRIFFChunk* chunk, int64_t offset) noexcept
{
    clear();
    const intptr_t got = chunk->readBuf(offset, f_block.data(), kBlockBytes);
    if (got <= 0) return false;
    f_chunk = chunk;
    f_start = offset;
    f_held = got;
    return true;
}

void kelRiffReadAhead::clear() noexcept
{
    f_chunk = nullptr;
    f_start = 0;
    f_held = 0;
}
