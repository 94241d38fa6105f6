#pragma once
// kelRIFile and kelRIFFChunk: the chunk tree of a RIFF file, read through a
// read-only mapping of the file (or, for tests and fuzzing, over an image in
// memory).
//
// A chunk is a 4-byte identifier, a 32-bit little-endian size and the data,
// padded to an even offset. "RIFF" and "LIST" chunks are containers: their
// data starts with a 4-byte form type followed by sub-chunks, which are
// parsed when the container is made. Offsets are 64-bit, so files past
// 2 GiB work; every chunk is bounded by its parent and the parent by the
// file, so a size field that claims more than is there reads short instead
// of past the end:
//
//  - a chunk whose declared size runs past the end of its parent holds what
//    is there (dataSize64());
//  - a chunk at the very end with fewer than 12 bytes (a final "data" chunk
//    of a few bytes, an odd-sized chunk without its pad byte) keeps its
//    8-byte header and its bytes;
//  - loadDataBuf copies at most the chunk's own data, never the bytes of
//    the chunks behind it;
//  - containers nested deeper than kMaxDepth are kept as plain chunks, so a
//    file of nested "LIST" headers cannot exhaust the stack.
//
// The tree is built once and then only read; it is used by one thread at a
// time (the device that owns it).

#include "core/kelMappedFile.h"
#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class kelRIFile;

class kelRIFFChunk : public kelObject
{
public:
    static constexpr int kMaxDepth = 32;
    static constexpr intptr_t kDataBufLimit = 65536;

    // Reads the header at `offset` (at most `maxSize` bytes belong to the
    // chunk); a container parses its sub-chunks at once.
    kelRIFFChunk(kelRIFile* master, kelRIFFChunk* parent, int64_t maxSize, int64_t offset, int depth = 0);
    ~kelRIFFChunk() override;

    // Whether the header's first four bytes are `id` (four characters).
    bool isID(const char* id) const noexcept;
    // Null when out of range.
    kelRIFFChunk* getSubChunk(intptr_t index) const noexcept;
    // 0 for a chunk that is not a container.
    intptr_t getSubChunkCount() const noexcept { return intptr_t(f_subChunks.size()); }

    // Copies the start of the data: up to 64 KiB for a negative `maxSize`;
    // otherwise exactly `maxSize` bytes, or nothing when the chunk holds
    // fewer. Never more than the chunk's own data. The copy (null when
    // empty) stays until releaseDataBuf or the next load.
    const uint8_t* loadDataBuf(intptr_t maxSize);
    void releaseDataBuf() noexcept;
    const uint8_t* dataBuf() const noexcept { return f_data64KB.empty() ? nullptr : f_data64KB.data(); }
    intptr_t dataBufSize() const noexcept { return f_data64KBSize; }

    // Copies up to `size` bytes of the data from `offset` (relative to the
    // data's start), bounded by dataSize64(); the bytes copied.
    intptr_t readBuf(int64_t offset, void* buf, intptr_t size) const noexcept;

    // Whether the header was there (at least 8 bytes inside the parent).
    bool hasHeader() const noexcept { return f_headerSize >= 8; }
    const uint8_t* header() const noexcept { return hasHeader() ? f_header.data() : nullptr; }
    // The size field of the header (0 without a header).
    uint32_t headerSize() const noexcept;
    // The data bytes the chunk really holds: the size field, cut to what
    // lies inside the parent.
    int64_t dataSize64() const noexcept;
    // The form type of a container ("WAVE", "INFO"); false when not one.
    bool isForm(const char* form) const noexcept;

    int64_t offset64() const noexcept { return f_offset64; }
    int64_t maxSize64() const noexcept { return f_maxSize64; }
    bool isContainer() const noexcept { return f_isContainer; }
    kelRIFile* master() const noexcept { return f_master; }
    kelRIFFChunk* parent() const noexcept { return f_parent; }

    kelString _classID() const override { return u"kelRIFFChunk"; }

private:
    void parseSubChunks(int depth);

    int64_t f_offset64;
    int64_t f_maxSize64;
    bool f_isContainer = false;
    std::array<uint8_t, 12> f_header{};
    intptr_t f_headerSize = 0; // bytes of the header that were there (0, 8..12)
    std::vector<uint8_t> f_data64KB;
    intptr_t f_data64KBSize = 0;
    std::vector<std::unique_ptr<kelRIFFChunk>> f_subChunks;
    kelRIFile* f_master;
    kelRIFFChunk* f_parent;
};

class kelRIFile : public kelObject
{
public:
    // Maps `fileName` read-only (`access`: a kelPage* value) and builds the
    // tree when the file holds more than 11 bytes. A file the mapping cannot
    // take (missing, or shorter than a mapping's 32 bytes) has no tree.
    explicit kelRIFile(const kelString& fileName, int access = kelPageReadOnly);
    // The same over an image in memory (copied).
    kelRIFile(const void* image, size_t size);
    ~kelRIFile() override;

    // The root exists and is a "RIFF" chunk.
    bool isValid() const noexcept;
    kelRIFFChunk* rootChunk() const noexcept { return f_rootChunk.get(); }

    // A view of [offset, offset + size): null when that is not inside the
    // file. The bytes start `subOfs` into the view; give the view back with
    // releasePtr.
    void* getPtr(int64_t offset, intptr_t size, intptr_t& subOfs) noexcept;
    bool releasePtr(void* baseAddr) noexcept;

    // Copies up to `size` bytes from file offset `offset`; the bytes copied.
    intptr_t read(int64_t offset, void* buf, intptr_t size) noexcept;

    int64_t dataSize64() const noexcept { return f_dataSize64; }
    const kelString& fileName() const noexcept { return f_fileName; }

    kelString _classID() const override { return u"kelRIFile"; }

private:
    void buildTree();

    std::unique_ptr<kelMappedFile> f_mapFile;
    kelString f_fileName;
    std::vector<uint8_t> f_dataBuf;
    int64_t f_dataSize64 = 0;
    std::unique_ptr<kelRIFFChunk> f_rootChunk;
};
