#pragma once
// kelRiffReadAhead: reads a RIFF chunk's data in large blocks and hands it
// out in the small pieces a reader asks for.
//
// A WAV reader takes one chunk of audio (a fiftieth of a second) at a time;
// reading the file for each would cost a system call per chunk. This keeps
// one block of the current data chunk and serves reads from it, going back
// to the file only when a read leaves the block. The bytes are those the
// chunk's readBuf gives: bounded by the chunk, and short where the file
// ends (a file shrunk while it is read yields what was there).
//
// Keyed by the chunk and the offset, so moving the position or changing
// the chunk needs nothing; clear() drops the block when the file may have
// changed or the chunk tree is freed. One thread at a time.

#include <cstdint>
#include <vector>

class kelRIFFChunk;

class kelRiffReadAhead
{
public:
    // The bytes read from the file at once.
    static constexpr intptr_t kBlockBytes = 64 * 1024;

    // Copies up to `size` bytes of `chunk`'s data from `offset` to `dst`;
    // the bytes copied (fewer where the data or the file ends).
    intptr_t read(const kelRIFFChunk* chunk, int64_t offset, void* dst, intptr_t size) noexcept;
    // Forgets the block.
    void clear() noexcept;

private:
    // Allocates the block on first use; false when there is no memory.
    bool haveBlock() noexcept;
    // Reads the block of `chunk` that starts at `offset`; false when the
    // file holds nothing there.
    bool refill(const kelRIFFChunk* chunk, int64_t offset) noexcept;

    std::vector<uint8_t> f_block;
    const kelRIFFChunk* f_chunk = nullptr;
    int64_t f_start = 0; // offset in the chunk's data of f_block[0]
    intptr_t f_held = 0; // bytes of f_block that hold data
};
