#pragma once
// kelDataProxyThread: decouples a pipe from its providers.
//
// With the pipe's data proxy enabled, write() copies each block into a ring
// of 64 entries (63 usable: one entry is always the consumer's) and returns;
// this thread, running at time-critical priority, hands the blocks to the
// pipe's doWrite() in the order they were queued. Entry buffers grow to the
// largest block they held and are reused, so steady-state queuing does not
// allocate. A full ring refuses the block.
//
// The ring has one reader (this thread) and writers serialised by a mutex;
// head and tail are published with release/acquire ordering, so the reader
// never sees an entry before its bytes.

#include "core/kelEvent.h"
#include "core/kelThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class kelmtlInOutPipe;

class kelDataProxyThread : public kelThread
{
public:
    static constexpr uintptr_t kRingSize = 64;
    // How long the idle thread sleeps before it looks again (a queued block
    // wakes it at once).
    static constexpr int64_t kIdleWait = 100;

    // Created inactive; `owner` outlives the thread.
    explicit kelDataProxyThread(kelmtlInOutPipe* owner);
    ~kelDataProxyThread() override;

    // Queues a copy of the block, starting the thread when it is not
    // running. Returns `len`, or 0 when refused: empty block, the proxy is
    // being destroyed or halted, the owner is closing, the thread cannot
    // start, or 63 blocks already wait.
    // Any thread.
    uint32_t enqueue(const void* data, uint32_t len, kelmtlInOutPipe* provider);
    // Stops the thread (kelThread::stop without forcing), refusing blocks
    // meanwhile: a write that restarted the thread during the stop would
    // keep the stopping thread waiting for a run that just began. Blocks
    // still queued are dropped when the thread starts again.
    bool halt(intptr_t timeout = kDefaultTimeout) noexcept;
    // From now on every block is refused.
    void refuse() noexcept { f_destroying.store(true, std::memory_order_release); }
    // Blocks queued and not yet taken by the thread.
    uintptr_t queued() const noexcept;

    kelString _classID() const override { return u"kelDataProxyThread"; }

protected:
    // Drops blocks left from an earlier run and takes the owner's input-dump
    // setting for this run.
    void startIn() override;
    intptr_t execute(uintptr_t globalIndex) override;
    void beforeDestruction() override;

private:
    struct Entry
    {
        uint32_t r_len = 0;
        kelmtlInOutPipe* r_provider = nullptr;
        std::unique_ptr<uint8_t[]> r_buffer;
        uint32_t r_size = 0;
    };

    static uintptr_t next(uintptr_t index) noexcept { return (index + 1) % kRingSize; }
    bool ensureRunning() noexcept;

    Entry f_dataArray[kRingSize];
    // f_head: the entry written last; f_tail: the entry taken last. Empty
    // when equal.
    std::atomic<uintptr_t> f_head{0};
    std::atomic<uintptr_t> f_tail{0};
    kelmtlInOutPipe* f_owner;
    std::atomic<bool> f_destroying{false};
    std::atomic<int> f_halting{0};
    bool f_dumpInput = false;
    kelEvent f_dataEvent{false, false};
    std::mutex f_enqueueGuard;
};
