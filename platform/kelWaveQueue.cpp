#include "platform/kelWaveQueue.h"

#include <algorithm>
#include <chrono>

namespace {

bool headerValid(const WAVEHDR* header, uint32_t size) noexcept
{
    return header != nullptr && size >= sizeof(WAVEHDR) &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}

} // namespace

kelWaveQueue::kelWaveQueue(bool isIn, const WAVEFORMATEX& format, std::unique_ptr<kelWaveBackend> backend,
                           kelWaveCallback callback, uintptr_t instance)
    : f_isIn(isIn), f_format(format), f_block(format.nBlockAlign ? format.nBlockAlign : 1),
      f_backend(std::move(backend)), f_callback(callback), f_instance(instance), f_running(!isIn)
{}

kelWaveQueue::~kelWaveQueue()
{
    // Only reached after close, when the worker is gone or is this thread
    // (detached, about to return).
    if (f_worker.joinable()) {
        f_worker.detach();
    }
}

void kelWaveQueue::start()
{
    f_worker = std::thread(&kelWaveQueue::run, this, shared_from_this());
    std::lock_guard lock(f_mutex);
    f_workerId = f_worker.get_id();
}

void kelWaveQueue::notify(uint32_t msg) noexcept
{
    if (f_callback != nullptr) {
        f_callback(this, msg, f_instance, 0, 0);
    }
}

MMRESULT kelWaveQueue::prepare(WAVEHDR* header, uint32_t size, const char* call) noexcept
{
    if (!headerValid(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::unprepare(WAVEHDR* header, uint32_t size, const char* call) noexcept
{
    if (!headerValid(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::add(WAVEHDR* header, uint32_t size, const char* call) noexcept
{
    if (!headerValid(header, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    if ((header->dwFlags & WHDR_PREPARED) == 0) {
        return WAVERR_UNPREPARED;
    }
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    if (f_closing) {
        return MMSYSERR_INVALHANDLE;
    }
    // Settle what the device did up to now (an underrun included) before
    // the new buffer counts, then let it start at once: a running device
    // plays from the moment a buffer is there.
    stepLocked();
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (f_isIn) {
        header->dwBytesRecorded = 0;
    }
    Entry entry{header};
    if (!f_isIn) {
        // A partial frame at the end can never be played; it is not handed
        // to the back end, so the buffer still finishes.
        const uint64_t frames = header->dwBufferLength / f_block;
        if (frames == 0) {
            entry.offset = header->dwBufferLength;
            entry.endFrame = f_takenFrames;
        }
    }
    const bool wasIdle = f_queue.empty();
    f_queue.push_back(entry);
    stepLocked();
    // A worker waiting for an earlier buffer to finish keeps that deadline:
    // a buffer queued behind it changes nothing it waits for, and waking it
    // would cost a thread switch per buffer. It must wake when it had
    // nothing queued (its wait is the idle one) or has buffers to return.
    if (wasIdle || !f_returning.empty()) {
        f_wake.notify_all();
    }
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::pause(const char* call) noexcept
{
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    if (!f_running) {
        return MMSYSERR_NOERROR;
    }
    stepLocked();
    f_running = false;
    f_backend->halt();
    if (f_isIn && !f_queue.empty() && f_queue.front().offset > 0) {
        // Stopping a recording returns the buffer it was filling.
        f_returning.push_back(f_queue.front().header);
        f_queue.pop_front();
    }
    f_wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::restart(const char* call) noexcept
{
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    if (!f_running) {
        f_running = true;
        f_backend->resume();
        stepLocked();
        f_wake.notify_all();
    }
    return MMSYSERR_NOERROR;
}

void kelWaveQueue::returnAllLocked() noexcept
{
    for (Entry& entry : f_queue) {
        f_returning.push_back(entry.header);
    }
    f_queue.clear();
}

MMRESULT kelWaveQueue::reset(const char* call) noexcept
{
    std::unique_lock lock(f_mutex);
    f_backend->noteCall(call);
    f_backend->drop();
    returnAllLocked();
    f_takenFrames = 0;
    f_recordedFrames = 0;
    if (f_isIn) {
        f_running = false;
    }
    f_wake.notify_all();
    if (!onWorker()) {
        f_returned.wait(lock, [this] { return f_closing || (f_returning.empty() && !f_delivering); });
    }
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::position(MMTIME* time, uint32_t size, const char* call) noexcept
{
    if (time == nullptr || size < sizeof(MMTIME)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard lock(f_mutex);
    f_backend->noteCall(call);
    stepLocked();
    const uint64_t frames = f_isIn ? f_recordedFrames : f_backend->framesDone();
    if (time->wType == TIME_BYTES) {
        time->u.cb = static_cast<uint32_t>(frames * f_block);
    } else {
        time->wType = TIME_SAMPLES;
        time->u.sample = static_cast<uint32_t>(frames);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT kelWaveQueue::close(const char* call) noexcept
{
    std::thread worker;
    {
        std::lock_guard lock(f_mutex);
        f_backend->noteCall(call);
        if (!f_queue.empty() || !f_returning.empty()) {
            return WAVERR_STILLPLAYING;
        }
        f_closing = true;
        f_wake.notify_all();
        f_returned.notify_all();
        worker = std::move(f_worker);
    }
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }
    std::lock_guard lock(f_mutex);
    f_backend->close();
    return MMSYSERR_NOERROR;
}

void kelWaveQueue::stepLocked() noexcept
{
    if (f_running) {
        if (f_isIn) {
            stepInLocked();
        } else {
            stepOutLocked();
        }
    }
}

void kelWaveQueue::stepOutLocked() noexcept
{
    bool allTaken = true;
    for (Entry& entry : f_queue) {
        WAVEHDR* header = entry.header;
        const size_t playable = header->dwBufferLength / f_block * f_block;
        if (entry.offset >= playable) {
            continue;
        }
        const size_t taken = f_backend->play(header->lpData + entry.offset, playable - entry.offset);
        entry.offset += taken;
        f_takenFrames += taken / f_block;
        if (entry.offset < playable) {
            allTaken = false;
            break;
        }
        entry.offset = header->dwBufferLength;
        entry.endFrame = f_takenFrames;
    }
    if (allTaken) {
        f_backend->starved();
    }
    const uint64_t done = f_backend->framesDone();
    while (!f_queue.empty()) {
        Entry& front = f_queue.front();
        if (front.offset < front.header->dwBufferLength || front.endFrame > done) {
            break;
        }
        const uint64_t now = f_backend->nowUs();
        if (front.doneAtUs == 0) {
            front.doneAtUs = now;
        }
        if (now - front.doneAtUs < f_backend->returnDelayUs()) {
            break;
        }
        f_returning.push_back(front.header);
        f_queue.pop_front();
    }
}

void kelWaveQueue::stepInLocked() noexcept
{
    while (!f_queue.empty()) {
        Entry& front = f_queue.front();
        WAVEHDR* header = front.header;
        const size_t room = header->dwBufferLength / f_block * f_block;
        if (front.offset < room) {
            const size_t got = f_backend->record(header->lpData + front.offset, room - front.offset);
            front.offset += got;
            f_recordedFrames += got / f_block;
            header->dwBytesRecorded = static_cast<uint32_t>(front.offset);
        }
        if (front.offset < room) {
            break;
        }
        f_returning.push_back(header);
        f_queue.pop_front();
    }
}

void kelWaveQueue::run(std::shared_ptr<kelWaveQueue> self) noexcept
{
    std::unique_lock lock(f_mutex);
    while (!f_closing) {
        if (!f_returning.empty()) {
            WAVEHDR* header = f_returning.front();
            f_returning.pop_front();
            header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            f_delivering = true;
            lock.unlock();
            if (f_callback != nullptr) {
                f_callback(this, f_isIn ? WIM_DATA : WOM_DONE, f_instance,
                           reinterpret_cast<uintptr_t>(header), 0);
            }
            lock.lock();
            f_delivering = false;
            f_returned.notify_all();
            continue;
        }
        stepLocked();
        if (!f_returning.empty() || f_closing) {
            continue;
        }
        uint64_t wanted = 0;
        if (!f_queue.empty()) {
            const Entry& front = f_queue.front();
            wanted = f_isIn ? (front.header->dwBufferLength - front.offset) / f_block
                            : (front.endFrame > f_backend->framesDone()
                                   ? front.endFrame - f_backend->framesDone()
                                   : (front.header->dwBufferLength - front.offset) / f_block);
        }
        const uint64_t waitUs = f_running && !f_queue.empty() ? f_backend->waitUs(wanted) : 100000;
        f_wake.wait_for(lock, std::chrono::microseconds(std::max<uint64_t>(waitUs, 100)));
    }
    lock.unlock();
    // The last reference may be this one: the handle dies here, after the
    // thread was detached by a close from a callback.
    self.reset();
}
