#include "core/kelMemoryStream.h"

#include "core/kelCreate.h"

#include <algorithm>

kelMemoryStream::kelMemoryStream(intptr_t lockTimeout) : kelAbstractStream(lockTimeout)
{
    // Both lists are the stream's own, under its lock, and nobody waits on
    // their data events: the stream signals its readers itself.
    f_chunks.setSingleThreaded(true);
    f_emptyChunks.setSingleThreaded(true);
    f_chunks.setSignalsData(false);
    f_emptyChunks.setSignalsData(false);
    setValid(true);
}

kelMemoryStream::~kelMemoryStream()
{
    freeAll(f_chunks);
    freeAll(f_emptyChunks);
}

kelStreamChunk* kelMemoryStream::chunkAt(kelList& list, intptr_t index) noexcept
{
    return static_cast<kelStreamChunk*>(list.getObject(index));
}

void kelMemoryStream::freeAll(kelList& list) noexcept
{
    for (intptr_t i = list.count() - 1; i >= 0; --i) {
        kelStreamChunk* chunk = chunkAt(list, i);
        list.removeByIndex(i, 0);
        kelFree(chunk);
    }
}

kelStreamChunk* kelMemoryStream::takeChunk(intptr_t size) noexcept
{
    const intptr_t cached = f_emptyChunks.count();
    if (cached == 0) return kelCreate<kelStreamChunk>();
    intptr_t pick = cached - 1;
    for (intptr_t i = 0; i < cached; ++i) {
        if (chunkAt(f_emptyChunks, i)->bufSize() >= size) {
            pick = i;
            break;
        }
    }
    kelStreamChunk* chunk = chunkAt(f_emptyChunks, pick);
    f_emptyChunks.removeByIndex(pick, 0);
    return chunk;
}

void kelMemoryStream::recycle(kelStreamChunk* chunk) noexcept
{
    const intptr_t cached = f_emptyChunks.count();
    if (uintptr_t(cached) < maxCacheSize()) {
        if (f_emptyChunks.add(chunk) < 0) kelFree(chunk);
        return;
    }
    // A full cache keeps the larger buffers: this chunk takes the place of
    // the first smaller one.
    for (intptr_t i = 0; i < cached; ++i) {
        kelStreamChunk* smaller = chunkAt(f_emptyChunks, i);
        if (smaller->bufSize() < chunk->bufSize()) {
            f_emptyChunks.setItem(i, chunk, 0);
            kelFree(smaller);
            return;
        }
    }
    kelFree(chunk);
}

intptr_t kelMemoryStream::doWriteData(const void* buf, intptr_t size) noexcept
{
    kelStreamChunk* chunk = takeChunk(size);
    if (chunk == nullptr) return 0;
    if (!chunk->setBufData(buf, size) || f_chunks.add(chunk) < 0) {
        chunk->setBufData(nullptr, 0);
        recycle(chunk);
        return 0;
    }
    f_summarySize.fetch_add(size, std::memory_order_release);
    return kelAbstractStream::doWriteData(buf, size);
}

intptr_t kelMemoryStream::doReadData(void* buf, intptr_t size, bool remove) noexcept
{
    size = std::min(size, getSize());
    auto* out = static_cast<uint8_t*>(buf);
    intptr_t total = 0;
    intptr_t index = 0;
    while (total < size && index < f_chunks.count()) {
        kelStreamChunk* chunk = chunkAt(f_chunks, index);
        total += chunk->read(out != nullptr ? out + total : nullptr, size - total, remove);
        if (remove && chunk->getSize() == 0) {
            // The next chunk moves into this index.
            f_chunks.removeByIndex(index, 0);
            recycle(chunk);
        } else {
            ++index;
        }
    }
    if (remove) f_summarySize.fetch_sub(total, std::memory_order_release);
    return total;
}

void kelMemoryStream::doClear() noexcept
{
    freeAll(f_chunks);
    freeAll(f_emptyChunks);
    f_summarySize.store(0, std::memory_order_release);
}

kelStreamChunk* kelMemoryStream::firstChunk() noexcept
{
    kelLock lock(this, true, kelStreamDataTimeout);
    if (!lock || f_chunks.count() == 0) return nullptr;
    return chunkAt(f_chunks, 0);
}

intptr_t kelMemoryStream::firstChunkSize() noexcept
{
    kelLock lock(this, true, kelStreamDataTimeout);
    if (!lock || f_chunks.count() == 0) return 0;
    return chunkAt(f_chunks, 0)->getSize();
}

intptr_t kelMemoryStream::firstChunkRemove() noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock) return 0;
    return remove(firstChunkSize());
}

intptr_t kelMemoryStream::compressChunks() noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock) return 0;
    if (f_chunks.count() > 1) {
        kelStreamChunk* first = chunkAt(f_chunks, 0);
        intptr_t later = 0;
        for (intptr_t i = 1; i < f_chunks.count(); ++i)
            later += chunkAt(f_chunks, i)->getSize();
        // Grow once to the whole size: the joins below then cannot fail
        // half-way and leave the data split.
        if (!first->reserve(first->dataSize() + later)) return first->getSize();
        for (intptr_t i = 1; i < f_chunks.count(); ++i) {
            kelStreamChunk* chunk = chunkAt(f_chunks, i);
            (void)first->addData(chunk->data(), chunk->getSize());
            chunk->read(nullptr, chunk->getSize(), true);
        }
        // From the back, so that no removal shifts the rest. The cache limit
        // does not apply here: these chunks are likely to be wanted again by
        // the writes that follow.
        for (intptr_t i = f_chunks.count() - 1; i >= 1; --i) {
            kelStreamChunk* chunk = chunkAt(f_chunks, i);
            f_chunks.removeByIndex(i, 0);
            if (f_emptyChunks.add(chunk) < 0) kelFree(chunk);
        }
    }
    return firstChunkSize();
}

intptr_t kelMemoryStream::chunkCount() noexcept
{
    kelLock lock(this, true, kelStreamDataTimeout);
    return lock ? f_chunks.count() : 0;
}

intptr_t kelMemoryStream::cachedChunkCount() noexcept
{
    kelLock lock(this, true, kelStreamDataTimeout);
    return lock ? f_emptyChunks.count() : 0;
}
