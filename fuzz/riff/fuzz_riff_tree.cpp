// The RIFF chunk tree over random and mutated files: no read past the image
// (ASan), every chunk inside its parent, containers no deeper than the cap,
// and loads and reads bounded by the chunk's own data.

#include "audio/kelRIFF.h"

#include <cstdlib>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition) std::abort();
}

void walk(const kelRIFFChunk* chunk, int64_t fileSize, int depth)
{
    check(depth <= kelRIFFChunk::kMaxDepth + 1);
    check(chunk->offset64() >= 0 && chunk->offset64() + chunk->maxSize64() <= fileSize);
    check(chunk->dataSize64() >= 0 && chunk->dataSize64() <= chunk->maxSize64());
    check(chunk->isContainer() || chunk->getSubChunkCount() == 0);

    auto* mutableChunk = const_cast<kelRIFFChunk*>(chunk);
    const uint8_t* loaded = mutableChunk->loadDataBuf(-1);
    check(mutableChunk->dataBufSize() <= chunk->dataSize64());
    check(mutableChunk->dataBufSize() <= kelRIFFChunk::kDataBufLimit);
    check((loaded == nullptr) == (mutableChunk->dataBufSize() == 0));
    mutableChunk->releaseDataBuf();

    std::vector<uint8_t> tail(64);
    const int64_t from = chunk->dataSize64() > 32 ? chunk->dataSize64() - 32 : 0;
    const intptr_t got = chunk->readBuf(from, tail.data(), intptr_t(tail.size()));
    check(got == chunk->dataSize64() - from || (got == 64 && chunk->dataSize64() - from > 64));

    int64_t previous = chunk->offset64();
    for (intptr_t i = 0; i < chunk->getSubChunkCount(); ++i) {
        const kelRIFFChunk* sub = chunk->getSubChunk(i);
        check(sub != nullptr && sub->parent() == chunk);
        check(sub->offset64() > previous);
        check(sub->offset64() + sub->maxSize64() <= chunk->offset64() + chunk->maxSize64());
        previous = sub->offset64();
        walk(sub, fileSize, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelRIFile file(data, size);
    if (file.rootChunk() != nullptr) walk(file.rootChunk(), int64_t(size), 0);
    check(!file.isValid() || (size >= 12 && data[0] == 'R' && data[1] == 'I' && data[2] == 'F' && data[3] == 'F'));
    intptr_t subOfs = -1;
    void* view = file.getPtr(0, intptr_t(size), subOfs);
    check(size == 0 || view != nullptr);
    if (view != nullptr) check(file.releasePtr(view));
    return 0;
}
