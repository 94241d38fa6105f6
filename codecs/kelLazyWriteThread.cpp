#include "codecs/kelLazyWriteThread.h"

#include "codecs/kelAbstractEncoder.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>

namespace {
constexpr int64_t kWaitInterval = 100;
constexpr intptr_t kOwnLockTimeout = 100;
constexpr intptr_t kFlushLockTimeout = 3000;
// Bytes taken at once when the coder names no chunk size.
constexpr intptr_t kUnchunkedStep = 65536;
} // namespace

kelLazyWriteThread::kelLazyWriteThread(kelAbstractEncoder* encoder, intptr_t priority)
    : kelThread(false, priority), f_encoder(encoder)
{}

intptr_t kelLazyWriteThread::write(const void* data, intptr_t size) noexcept
{
    const intptr_t stored = f_lazyStream.write(data, size);
    if (stored > 0) signal();
    return stored;
}

void kelLazyWriteThread::flush() noexcept
{
    if (getThreadId() == kelCurrentThreadId()) return;
    {
        kelLock lock(this, false, kFlushLockTimeout);
        f_needToFlush = true;
    }
    while (f_lazyStream.getSize() > 0) {
        if (status() != keltsRunning) break;
        signal();
        (void)f_stepEvent.waitFor(kWaitInterval);
    }
}

intptr_t kelLazyWriteThread::execute(uintptr_t)
{
    while (!shouldStop() && f_encoder->opened()) {
        if (!waitForEvent(f_waitEvent, kWaitInterval)) continue;
        const bool more = step();
        f_stepEvent.setState(true);
        if (more) signal();
    }
    return 0;
}

bool kelLazyWriteThread::step() noexcept
{
    kelLock lock(this, false, kOwnLockTimeout);
    if (!lock) return true;
    const intptr_t chunk = f_encoder->inputChunkSize();
    const intptr_t available = f_lazyStream.getSize();
    const bool flushing = f_needToFlush;
    if (available <= 0) {
        f_needToFlush = false;
        return false;
    }
    if (chunk > 0 && available < chunk && !flushing) return false;
    const intptr_t want = std::min(available, chunk > 0 ? chunk : kUnchunkedStep);
    try {
        if (intptr_t(f_lazyBuf.size()) < want) f_lazyBuf.resize(size_t(want));
    } catch (...) {
        return true;
    }
    // Peeked, not taken: bytes the coder leaves stay queued for the next
    // chunk instead of being lost.
    const intptr_t got = f_lazyStream.read(f_lazyBuf.data(), want, false);
    if (got <= 0) return true;
    uint32_t consumed = 0;
    const intptr_t result = f_encoder->encodeAndDeliver(f_lazyBuf.data(), uint32_t(got), consumed);
    if (result == kelEncoderBusy) return true;
    // A failed chunk is dropped, and so is one the coder took nothing of,
    // so the queue always moves on.
    const intptr_t drop = (result == kelEncoderOK && consumed > 0 && consumed <= got) ? consumed : got;
    f_lazyStream.remove(drop);
    const intptr_t left = f_lazyStream.getSize();
    if (left <= 0) f_needToFlush = false;
    return left > 0 && (left >= chunk || f_needToFlush);
}
