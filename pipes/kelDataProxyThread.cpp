#include "pipes/kelDataProxyThread.h"

#include "core/kelCreate.h"
#include "pipes/kelmtlInOutPipe.h"

#include <cstring>
#include <new>

kelDataProxyThread::kelDataProxyThread(kelmtlInOutPipe* owner)
    : kelThread(false, kelThreadPriorityTimeCritical), f_owner(owner)
{}

kelDataProxyThread::~kelDataProxyThread() = default;

uint32_t kelDataProxyThread::enqueue(const void* data, uint32_t len, kelmtlInOutPipe* provider)
{
    if (!data || len == 0 || f_destroying.load(std::memory_order_acquire)) return 0;
    std::lock_guard<std::mutex> guard(f_enqueueGuard);
    if (f_halting.load(std::memory_order_acquire) != 0 || f_owner->closing() || !ensureRunning()) return 0;
    const uintptr_t head = f_head.load(std::memory_order_relaxed);
    const uintptr_t position = next(head);
    if (position == f_tail.load(std::memory_order_acquire)) return 0;
    Entry& entry = f_dataArray[position];
    if (entry.r_size < len) {
        // Grows only; a buffer keeps the size of the largest block it held.
        std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[len]);
        if (!grown) return 0;
        entry.r_buffer = std::move(grown);
        entry.r_size = len;
    }
    std::memcpy(entry.r_buffer.get(), data, len);
    entry.r_len = len;
    entry.r_provider = provider;
    f_head.store(position, std::memory_order_release);
    f_dataEvent.setState(true);
    return len;
}

bool kelDataProxyThread::halt(intptr_t timeout) noexcept
{
    {
        // Taken so that no write is half-way through starting the thread.
        std::lock_guard<std::mutex> guard(f_enqueueGuard);
        f_halting.fetch_add(1, std::memory_order_acq_rel);
    }
    const bool stopped = stop(timeout, false);
    f_halting.fetch_sub(1, std::memory_order_acq_rel);
    return stopped;
}

uintptr_t kelDataProxyThread::queued() const noexcept
{
    const uintptr_t head = f_head.load(std::memory_order_acquire);
    const uintptr_t tail = f_tail.load(std::memory_order_acquire);
    return (head + kRingSize - tail) % kRingSize;
}

bool kelDataProxyThread::ensureRunning() noexcept
{
    switch (status()) {
    case keltsRunning:
    case keltsBeforeRunning:
        return true;
    case keltsStopped:
        // Runs startIn() before it returns, so the ring is reset before the
        // first block goes in.
        return start(10000);
    default:
        // Being stopped (the owner is closing): a restart from here would
        // undo the stop and keep the closing thread waiting for it. The
        // block is dropped, as queued blocks are when the proxy stops.
        return false;
    }
}

void kelDataProxyThread::startIn()
{
    f_head.store(0, std::memory_order_release);
    f_tail.store(0, std::memory_order_release);
    f_dumpInput = f_owner->f_dumpInputOK.load(std::memory_order_acquire);
}

intptr_t kelDataProxyThread::execute(uintptr_t /*globalIndex*/)
{
    while (!shouldStop()) {
        if (f_tail.load(std::memory_order_relaxed) == f_head.load(std::memory_order_acquire)) {
            // A queued block or a stop request ends the wait early.
            (void)waitForEvent(f_dataEvent, kIdleWait);
        }
        while (!shouldStop()) {
            const uintptr_t tail = f_tail.load(std::memory_order_relaxed);
            if (tail == f_head.load(std::memory_order_acquire)) break;
            // The entry at the tail is ours until the tail moves on again:
            // writers never fill the entry the tail points at.
            const uintptr_t position = next(tail);
            f_tail.store(position, std::memory_order_release);
            Entry& entry = f_dataArray[position];
            try {
                (void)f_owner->doWrite(entry.r_buffer.get(), entry.r_len, entry.r_provider);
            } catch (...) {
                kelReportHookFailure("kelDataProxyThread: doWrite");
            }
            if (f_dumpInput) f_owner->dumpBlock(true, entry.r_buffer.get(), entry.r_len);
        }
    }
    return 0;
}

void kelDataProxyThread::beforeDestruction()
{
    refuse();
    kelThread::beforeDestruction();
}
