#pragma once
// kelSocksPacketStormThread: the delivery thread of one socket thread's run.
//
// The socket thread never waits for the owner: it reads each packet into a
// buffer taken here (bufferGet), queues it (newPacket) and goes back to its
// socket. This thread hands the queued packets to the owner through the
// master's data event, all of them, in the order they were queued, with its
// lock released, so a slow handler never holds up bufferGet.
//
// Memory is bounded: at most kMaxBuffers records and kMaxBytes of buffer
// blocks. Free records are reused by size; beyond the bounds bufferGet
// returns null and the socket thread leaves TCP data unread (the peer is
// held back) or drops a datagram (and counts it).
//
// Besides packets the queue carries releases of removed connections, so a
// connection the manager removes (peer closed, timed out) is finished after
// every packet it sent was delivered.

#include "core/kelEvent.h"
#include "core/kelThread.h"
#include "net/sockets/kelSocketEvent.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

class kelSocksThread;
class kelSocksConnection;

// One buffer record. `data` (owned by the storm thread) holds `allocated`
// bytes; the socket thread fills up to that and sets `length`.
struct kelSocksStormBuffer
{
    enum State : int32_t { Free = 0, Queued = 1, Filling = 2, Delivering = 3, Dropped = 4 };
    std::atomic<int32_t> state{Free};
    uint32_t connId = 0;
    uint64_t seqNum = 0;
    uint32_t allocated = 0;
    uint32_t length = 0;
    uint8_t* data = nullptr;
};
static_assert(sizeof(kelSocksStormBuffer) == 32, "buffer records are 32 bytes");

class kelSocksPacketStormThread : public kelThread
{
public:
    static constexpr size_t kMaxBuffers = 4096;
    static constexpr uint64_t kMaxBytes = 16u << 20;
    static constexpr uint64_t kFirstSeqNum = 1726;

    // Made by the master for one run; null `master` only in tests that drive
    // the buffers alone (then nothing is delivered).
    explicit kelSocksPacketStormThread(kelSocksThread* master);
    ~kelSocksPacketStormThread() override;

    // A record of at least `desiredSize` bytes in state Filling, or null for
    // size 0, when the lock is not had within 100 ms, or beyond the bounds.
    // Socket thread.
    kelSocksStormBuffer* bufferGet(uint32_t desiredSize) noexcept;
    // Queues a filled record for `connId` (a zero length frees it instead).
    // False, the record left as it was, when it is not being filled or its
    // length exceeds its block, or the lock was not had.
    bool newPacket(uint32_t connId, kelSocksStormBuffer* buffer) noexcept;
    // Frees a record taken by bufferGet and not queued.
    void bufferRelease(kelSocksStormBuffer* buffer) noexcept;
    // Drops the queued packets of `connId` (one being delivered still is).
    void removeConnection(uint32_t connId) noexcept;
    // Queues the release of one hold on `conn` behind the packets queued so
    // far. False when the thread does not run: the caller releases it.
    bool queueRelease(kelSocksConnection* conn) noexcept;

    // Waits up to `timeout` ms until everything queued so far was delivered
    // (or abortDrain()). True when it was.
    bool waitDrained(int64_t timeout) noexcept;
    void abortDrain() noexcept;
    // After the thread stopped: frees queued packets and runs the queued
    // releases. Master thread.
    void dropAll() noexcept;

    kelSocksThread* masterThread() const noexcept { return f_masterThread; }
    kelSocketEvent masterEventType() const noexcept { return f_masterEventType; }
    // Records made so far, bytes in their blocks, packets queued now.
    size_t bufCount() const noexcept { return f_bufCount.load(std::memory_order_relaxed); }
    uint64_t bytesAllocated() const noexcept { return f_bytes.load(std::memory_order_relaxed); }
    size_t queuedCount() const noexcept { return f_queued.load(std::memory_order_relaxed); }
    kelString _classID() const override { return u"kelSocksPacketStormThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    struct Item
    {
        kelSocksStormBuffer* buffer;
        kelSocksConnection* release;
    };
    void deliver(std::deque<Item>& batch) noexcept;
    void setDrainedLocked() noexcept;

    kelSocksThread* f_masterThread;
    kelSocketEvent f_masterEventType;
    std::vector<kelSocksStormBuffer*> f_buffers; // every record, in creation order
    std::vector<kelSocksStormBuffer*> f_free;
    std::deque<Item> f_queue;
    std::atomic<size_t> f_bufCount{0};
    std::atomic<uint64_t> f_bytes{0};
    std::atomic<size_t> f_queued{0};
    uint64_t f_seqNum = kFirstSeqNum;
    bool f_delivering = false;
    kelEvent f_drained{true, true};
};
