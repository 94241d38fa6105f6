#pragma once
// kelLazyWriteThread: codes the bytes written to it on its own thread, one
// input chunk of its coder at a time, so a producer never waits for the
// coder. Less than a chunk waits for more data until flush().

#include "core/kelEvent.h"
#include "core/kelMemoryStream.h"
#include "core/kelThread.h"

#include <atomic>
#include <cstdint>
#include <vector>

class kelAbstractEncoder;

class kelLazyWriteThread : public kelThread
{
public:
    kelLazyWriteThread(kelAbstractEncoder* encoder, intptr_t priority);

    // Queues `size` bytes for coding; the bytes queued. Any thread.
    intptr_t write(const void* data, intptr_t size) noexcept;
    // Has the thread code everything queued, a last short chunk included,
    // and waits until the queue is empty (or the thread is not running).
    // Does nothing on the thread itself.
    void flush() noexcept;
    void signal() noexcept { f_waitEvent.setState(true); }
    kelMemoryStream& lazyStream() noexcept { return f_lazyStream; }

    kelString _classID() const override { return u"kelLazyWriteThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    // Codes at most one chunk; true when data is left for another step.
    bool step() noexcept;

    kelAbstractEncoder* f_encoder;
    kelEvent f_waitEvent{false, false};
    // Signalled after each step, so flush() sees progress without polling.
    kelEvent f_stepEvent{false, false};
    std::atomic<bool> f_needToFlush{false};
    kelMemoryStream f_lazyStream;
    std::vector<uint8_t> f_lazyBuf;
};
