#pragma once
// kelMemoryStream: a first-in first-out byte queue made of chunks, the
// stream the audio devices and coders pass data through between their
// threads. Each write copies its block once into a chunk; reads copy
// straight out of the chunks without joining them.
//
// Emptied chunks go to a cache of at most maxCacheSize() chunks (default
// 10) that prefers keeping the larger buffers, and a write reuses the first
// cached chunk that is large enough, so steady streaming of similar block
// sizes allocates nothing. A memory stream is always valid and not
// seekable: seek, seekD and getPosition return 0.

#include "core/kelAbstractStream.h"
#include "core/kelList.h"
#include "core/kelStreamChunk.h"

#include <atomic>
#include <cstdint>

class kelMemoryStream : public kelAbstractStream
{
public:
    explicit kelMemoryStream(intptr_t lockTimeout = 1000);
    ~kelMemoryStream() override;

    // The oldest chunk, or null. The pointer stays valid only while the
    // caller holds the stream's lock (enter ... leaveRO/leaveWO).
    kelStreamChunk* firstChunk() noexcept;
    // Unconsumed bytes of the oldest chunk; 0 when there is none or the lock
    // could not be had.
    intptr_t firstChunkSize() noexcept;
    // Drops what is left of the oldest chunk; the bytes dropped.
    intptr_t firstChunkRemove() noexcept;
    // Joins every chunk into the first, so that firstChunk() holds all the
    // data contiguously; the emptied chunks go to the cache. Returns
    // firstChunkSize() afterwards. When the first chunk cannot grow, the
    // chunks stay as they are.
    intptr_t compressChunks() noexcept;

    uintptr_t maxCacheSize() const noexcept { return f_maxCacheSize.load(std::memory_order_relaxed); }
    void setMaxCacheSize(uintptr_t value) noexcept { f_maxCacheSize.store(value, std::memory_order_relaxed); }
    // Chunks holding data and chunks waiting in the cache (for tests and
    // diagnostics; 0 when the lock could not be had).
    intptr_t chunkCount() noexcept;
    intptr_t cachedChunkCount() noexcept;

    intptr_t seek(intptr_t, bool = true) noexcept override { return 0; }
    intptr_t seekD(intptr_t) noexcept override { return 0; }
    intptr_t getPosition() noexcept override { return 0; }

    kelString _classID() const override { return u"kelMemoryStream"; }

protected:
    void doClear() noexcept override;
    intptr_t doWriteData(const void* buf, intptr_t size) noexcept override;
    intptr_t doReadData(void* buf, intptr_t size, bool remove) noexcept override;

private:
    kelStreamChunk* chunkAt(kelList& list, intptr_t index) noexcept;
    // A chunk for `size` bytes: from the cache when it has one, else new.
    kelStreamChunk* takeChunk(intptr_t size) noexcept;
    // An emptied chunk into the cache, or destroyed.
    void recycle(kelStreamChunk* chunk) noexcept;
    void freeAll(kelList& list) noexcept;

    // Guarded by the stream's own lock, so the lists never lock themselves.
    kelObjectList f_chunks{false, false};
    kelObjectList f_emptyChunks{false, false};
    std::atomic<uintptr_t> f_maxCacheSize{10};
};
