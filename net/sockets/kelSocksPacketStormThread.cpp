#include "net/sockets/kelSocksPacketStormThread.h"

#include "core/kelLog.h"
#include "net/sockets/kelSocksConnection.h"
#include "net/sockets/kelSocksThread.h"

#include <cstdlib>
#include <new>

namespace {

constexpr intptr_t kLockMs = 100;

} // namespace

kelSocksPacketStormThread::kelSocksPacketStormThread(kelSocksThread* master)
    : kelThread(false, kelThreadPriorityTimeCritical), f_masterThread(master),
      f_masterEventType(master && !master->isServer() ? kelseClientData : kelseServerData)
{
    f_buffers.reserve(64);
}

kelSocksPacketStormThread::~kelSocksPacketStormThread()
{
    dropAll();
    for (kelSocksStormBuffer* b : f_buffers) {
        std::free(b->data);
        delete b;
    }
}

kelSocksStormBuffer* kelSocksPacketStormThread::bufferGet(uint32_t desiredSize) noexcept
{
    if (desiredSize == 0) return nullptr;
    kelLock lock(this, false, kLockMs);
    if (!lock) return nullptr;
    // The smallest free block that fits keeps large ones for large packets.
    size_t best = f_free.size();
    for (size_t i = f_free.size(); i-- > 0;) {
        const uint32_t a = f_free[i]->allocated;
        if (a >= desiredSize && (best == f_free.size() || a < f_free[best]->allocated)) {
            best = i;
            if (a == desiredSize) break;
        }
    }
    kelSocksStormBuffer* b = nullptr;
    const uint64_t bytes = f_bytes.load(std::memory_order_relaxed);
    if (best < f_free.size()) {
        b = f_free[best];
        f_free.erase(f_free.begin() + static_cast<std::ptrdiff_t>(best));
    } else if (f_buffers.size() < kMaxBuffers && bytes + desiredSize <= kMaxBytes) {
        b = new (std::nothrow) kelSocksStormBuffer;
        uint8_t* block = b ? static_cast<uint8_t*>(std::malloc(desiredSize)) : nullptr;
        if (!block) {
            delete b;
            return nullptr;
        }
        try {
            f_buffers.push_back(b);
        } catch (...) {
            std::free(block);
            delete b;
            return nullptr;
        }
        b->data = block;
        b->allocated = desiredSize;
        f_bytes.store(bytes + desiredSize, std::memory_order_relaxed);
        f_bufCount.store(f_buffers.size(), std::memory_order_relaxed);
    } else if (!f_free.empty()) {
        // Every record is made: grow a free one if the byte bound allows.
        kelSocksStormBuffer* c = f_free.back();
        if (bytes - c->allocated + desiredSize > kMaxBytes) return nullptr;
        void* block = std::realloc(c->data, desiredSize);
        if (!block) return nullptr;
        f_free.pop_back();
        f_bytes.store(bytes - c->allocated + desiredSize, std::memory_order_relaxed);
        c->data = static_cast<uint8_t*>(block);
        c->allocated = desiredSize;
        b = c;
    } else {
        return nullptr;
    }
    b->state.store(kelSocksStormBuffer::Filling, std::memory_order_relaxed);
    b->length = 0;
    b->connId = 0;
    return b;
}

bool kelSocksPacketStormThread::newPacket(uint32_t connId, kelSocksStormBuffer* buffer) noexcept
{
    if (!buffer) return false;
    kelLock lock(this, false, kLockMs);
    if (!lock) return false;
    if (buffer->state.load(std::memory_order_relaxed) != kelSocksStormBuffer::Filling ||
        buffer->length > buffer->allocated)
        return false;
    if (buffer->length == 0) {
        buffer->state.store(kelSocksStormBuffer::Free, std::memory_order_relaxed);
        f_free.push_back(buffer);
        return true;
    }
    try {
        f_queue.push_back({buffer, nullptr});
    } catch (...) {
        return false;
    }
    buffer->connId = connId;
    // Numbered as queued: the queue order is the arrival order.
    buffer->seqNum = ++f_seqNum;
    buffer->state.store(kelSocksStormBuffer::Queued, std::memory_order_relaxed);
    f_queued.fetch_add(1, std::memory_order_relaxed);
    f_drained.setState(false);
    lock.release();
    wakeUp();
    return true;
}

void kelSocksPacketStormThread::bufferRelease(kelSocksStormBuffer* buffer) noexcept
{
    if (!buffer) return;
    kelLock lock(this, false, kLockMs);
    if (!lock) return;
    if (buffer->state.load(std::memory_order_relaxed) != kelSocksStormBuffer::Filling) return;
    buffer->state.store(kelSocksStormBuffer::Free, std::memory_order_relaxed);
    try {
        f_free.push_back(buffer);
    } catch (...) {
    }
}

void kelSocksPacketStormThread::removeConnection(uint32_t connId) noexcept
{
    kelLock lock(this, false, kLockMs);
    if (!lock) return;
    for (Item& item : f_queue) {
        if (!item.buffer || item.buffer->connId != connId) continue;
        // Still queued: dropped now. In the batch being delivered: skipped.
        int32_t queued = kelSocksStormBuffer::Queued;
        if (!item.buffer->state.compare_exchange_strong(queued, kelSocksStormBuffer::Free)) continue;
        f_free.push_back(item.buffer);
        item.buffer = nullptr;
        f_queued.fetch_sub(1, std::memory_order_relaxed);
    }
    // Records taken out of the queue for delivery are marked, not freed.
    for (kelSocksStormBuffer* b : f_buffers) {
        if (b->connId != connId) continue;
        int32_t delivering = kelSocksStormBuffer::Delivering;
        b->state.compare_exchange_strong(delivering, kelSocksStormBuffer::Dropped);
    }
}

bool kelSocksPacketStormThread::queueRelease(kelSocksConnection* conn) noexcept
{
    if (!conn || status() != keltsRunning) return false;
    kelLock lock(this, false, kLockMs);
    if (!lock) return false;
    try {
        f_queue.push_back({nullptr, conn});
    } catch (...) {
        return false;
    }
    f_drained.setState(false);
    lock.release();
    wakeUp();
    return true;
}

bool kelSocksPacketStormThread::waitDrained(int64_t timeout) noexcept
{
    return f_drained.waitFor(timeout) && queuedCount() == 0;
}

void kelSocksPacketStormThread::abortDrain() noexcept
{
    f_drained.setState(true);
}

void kelSocksPacketStormThread::setDrainedLocked() noexcept
{
    if (f_queue.empty() && !f_delivering) f_drained.setState(true);
}

void kelSocksPacketStormThread::dropAll() noexcept
{
    std::deque<Item> rest;
    {
        kelLock lock(this, false, 2000);
        if (!lock) return;
        rest.swap(f_queue);
        for (Item& item : rest) {
            if (!item.buffer) continue;
            item.buffer->state.store(kelSocksStormBuffer::Free, std::memory_order_relaxed);
            f_free.push_back(item.buffer);
        }
        f_queued.store(0, std::memory_order_relaxed);
        f_drained.setState(true);
    }
    // Releases run unlocked: finishing a connection may raise an event.
    for (Item& item : rest)
        if (item.release) item.release->release();
}

void kelSocksPacketStormThread::deliver(std::deque<Item>& batch) noexcept
{
    for (Item& item : batch) {
        if (item.release) {
            item.release->release();
            continue;
        }
        kelSocksStormBuffer* b = item.buffer;
        if (!b) continue;
        if (b->state.load(std::memory_order_acquire) == kelSocksStormBuffer::Delivering && f_masterThread) {
            f_masterThread->deliverPacket(f_masterEventType, b->connId, b->data, b->length);
        }
        f_queued.fetch_sub(1, std::memory_order_relaxed);
    }
}

intptr_t kelSocksPacketStormThread::execute(uintptr_t)
{
    kelSocksThreadScope scope(f_masterThread);
    std::deque<Item> batch;
    while (!shouldStop()) {
        {
            kelLock lock(this, false, 20);
            if (!lock) {
                (void)sleepThread(1);
                continue;
            }
            batch.swap(f_queue);
            for (Item& item : batch)
                if (item.buffer)
                    item.buffer->state.store(kelSocksStormBuffer::Delivering, std::memory_order_relaxed);
            f_delivering = !batch.empty();
            if (batch.empty()) f_drained.setState(true);
        }
        if (batch.empty()) {
            (void)sleepThread(200);
            continue;
        }
        deliver(batch);
        kelLock lock(this, false, 2000);
        for (Item& item : batch) {
            if (!item.buffer) continue;
            item.buffer->state.store(kelSocksStormBuffer::Free, std::memory_order_relaxed);
            if (lock) {
                try {
                    f_free.push_back(item.buffer);
                } catch (...) {
                }
            }
        }
        batch.clear();
        if (lock) {
            f_delivering = false;
            setDrainedLocked();
        }
    }
    return 0;
}
