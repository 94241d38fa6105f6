#include "audio/kelWaveOutDevice.h"

#include "audio/kelWaveFormatText.h"
#include "audio/kelWaveOpenRetry.h"
#include "core/kelCreate.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t errorTextChars = 256;
// Buffers the device thread keeps queued from the input stream (overNumIn 0).
constexpr intptr_t streamAhead = 4;
// A closing flush waits for the queue to drain at most this often, this long.
constexpr int flushDrainSteps = 20;
constexpr auto flushDrainStep = std::chrono::milliseconds(20);

// A playback header that knows whether the platform (or a completion still
// to run) holds it, so a writer never reuses a buffer in flight and never
// reads flags the platform may be writing.
class kelWaveOutHeader final : public kelWaveHeader
{
public:
    using kelWaveHeader::kelWaveHeader;
    std::atomic<bool> busy{false};
};

kelWaveOutHeader* outHeader(kelWaveHeader* header) noexcept
{
    return static_cast<kelWaveOutHeader*>(header);
}

// Counts a writer in for the length of a scope.
class NestedWriter
{
public:
    explicit NestedWriter(std::atomic<intptr_t>& count) noexcept
        : f_count(count), f_depth(count.fetch_add(1) + 1)
    {}
    ~NestedWriter() { f_count.fetch_sub(1); }
    intptr_t depth() const noexcept { return f_depth; }

private:
    std::atomic<intptr_t>& f_count;
    const intptr_t f_depth;
};

thread_local const kelWaveOutDevice* t_deviceThreadOf = nullptr;

} // namespace

kelWaveOutDevice::kelWaveOutDevice(uint32_t deviceID, bool mapped, bool direct, uintptr_t overNum)
    : kelWaveDevice(deviceID, mapped, direct, false, overNum)
{
    (void)getCaps(deviceID, f_caps);
}

kelWaveOutDevice::~kelWaveOutDevice() = default;

// --- class operations -------------------------------------------------------------

uint32_t kelWaveOutDevice::getDeviceCount() noexcept
{
    return waveOutGetNumDevs();
}

bool kelWaveOutDevice::getCaps(uint32_t deviceID, WAVEOUTCAPSW& caps) noexcept
{
    return waveOutGetDevCapsW(deviceID, &caps, sizeof caps) == MMSYSERR_NOERROR;
}

kelString kelWaveOutDevice::getErrorText(uint32_t errorCode)
{
    char16_t text[errorTextChars] = {};
    if (waveOutGetErrorTextW(errorCode, text, errorTextChars) != MMSYSERR_NOERROR)
        return mmErrorTextWithCode(errorCode);
    const std::string code = std::to_string(errorCode);
    return kelString(code.begin(), code.end()) + u" (" + kelString(text) + u")";
}

uint32_t kelWaveOutDevice::formatChoose(kelFormatBlock& format, const kelString&, uint32_t, uint32_t,
                                        const WAVEFORMATEX*)
{
    (void)formatChooseDef(format);
    return MMSYSERR_NOTSUPPORTED;
}

kelString kelWaveOutDevice::doGetErrorText(uint32_t errorCode)
{
    return getErrorText(errorCode);
}

// --- open and close -----------------------------------------------------------------

uint32_t kelWaveOutDevice::doOpenHandle(uint32_t flags)
{
    f_dwReentranceCnt = 0;
    uint32_t result = kelWaveDevice::doOpenHandle(flags);
    if (result != MMSYSERR_NOERROR) return result;
    f_lastOpenFlags = flags;
    HWAVEOUT handle = nullptr;
    result = kelWaveOpenWithRetry(false, &handle, f_deviceID, f_srcFormatExt,
                                  reinterpret_cast<uintptr_t>(&kelWaveOutDevice::waveCallback),
                                  reinterpret_cast<uintptr_t>(this), flags);
    if (result != MMSYSERR_NOERROR || handle == nullptr) return result;
    f_handle = reinterpret_cast<uintptr_t>(handle);
    const bool startPaused = f_ji.load() && waveOutPause(handle) == MMSYSERR_NOERROR;
    f_paused = startPaused;
    return result;
}

uint32_t kelWaveOutDevice::afterOpen()
{
    const uint32_t result = kelWaveDevice::afterOpen();
    if (result != MMSYSERR_NOERROR) return result;
    f_inProgress = 0;
    f_outOfStream = 0;
    f_played = false;
    f_hdrIndex = 0;
    // No completion of an earlier run is left to hand over.
    f_deferHead = 0;
    f_deferTail = 0;
    f_deferred = 0;
    return MMSYSERR_NOERROR;
}

uint32_t kelWaveOutDevice::doCloseHandle()
{
    const uint32_t result = waveOutClose(waveHandle());
    if (result != MMSYSERR_NOERROR) return result;
    return kelWaveDevice::doCloseHandle();
}

void kelWaveOutDevice::startIn()
{
    kelWaveDevice::startIn();
    t_deviceThreadOf = this;
    (void)setPriority(kelThreadPriorityTimeCritical);
}

void kelWaveOutDevice::startOut()
{
    // Completions of the reset see the stop and run no handler.
    (void)waveOutPause(waveHandle());
    (void)waveOutReset(waveHandle());
    t_deviceThreadOf = nullptr;
    kelWaveDevice::startOut();
}

// --- headers ------------------------------------------------------------------------

uint32_t kelWaveOutDevice::prepareHeader(kelMsAcmDeviceHeader* header)
{
    WAVEHDR* hdr = static_cast<kelWaveHeader*>(header)->hdr();
    hdr->dwFlags = 0;
    return waveOutPrepareHeader(waveHandle(), hdr, sizeof(WAVEHDR));
}

uint32_t kelWaveOutDevice::unprepareHeader(kelMsAcmDeviceHeader* header)
{
    return waveOutUnprepareHeader(waveHandle(), static_cast<kelWaveHeader*>(header)->hdr(), sizeof(WAVEHDR));
}

uint32_t kelWaveOutDevice::freeHeader(intptr_t headerSlot)
{
    // Buffers still queued (the thread never ran, or its stop timed out)
    // come back first, so the platform never reads freed memory.
    if (f_handle.load() != 0 && waveHeader(headerSlot) != nullptr) (void)waveOutReset(waveHandle());
    return kelWaveDevice::freeHeader(headerSlot);
}

uint32_t kelWaveOutDevice::addHeader(kelWaveHeader* header)
{
    WAVEHDR* hdr = header->hdr();
    hdr->dwFlags &= ~WHDR_DONE;
    // Counted before the platform has it, so its completion never finds
    // the count lower than the buffers it stands for.
    const intptr_t queued = f_inProgress.fetch_add(1) + 1;
    const uint32_t result = waveOutWrite(waveHandle(), hdr, sizeof(WAVEHDR));
    if (result != MMSYSERR_NOERROR) {
        f_inProgress.fetch_sub(1);
        return result;
    }
    if (f_paused.load() && queued > intptr_t(outRestartThreshold.load()) && f_paused.exchange(false))
        (void)waveOutRestart(waveHandle());
    return result;
}

// --- writing ------------------------------------------------------------------------

uint8_t kelWaveOutDevice::silenceByte() noexcept
{
    const WAVEFORMATEX* format = f_srcFormatExt.format();
    return format != nullptr && format->wBitsPerSample == 8 ? 0x80 : 0x00;
}

bool kelWaveOutDevice::isSilent(const void* data, uintptr_t size) noexcept
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    const uint8_t silence = silenceByte();
    for (uintptr_t i = 0; i < size; ++i)
        if (bytes[i] != silence) return false;
    return true;
}

uintptr_t kelWaveOutDevice::doWrite(const void* data, uintptr_t size)
{
    if (!isOpen() || overNumIn() == 0) return kelWaveDevice::doWrite(data, size);
    if (data == nullptr) return 0;
    return writeChunk(data, size, false);
}

uintptr_t kelWaveOutDevice::writeChunk(const void* data, uintptr_t size, bool fromStream)
{
    const NestedWriter writer(f_dwReentranceCnt);
    if (writer.depth() > kMaxNestedWriters || size == 0 || size > UINT32_MAX) return 0;
    if (f_closing.load() && !f_flushing.load()) return 0;
    if (!fromStream && f_inProgress.load() > intptr_t(overNumIn() + 2)) {
        f_inOverloadTotal.fetch_add(int64_t(size));
        return 0;
    }
    // The lock comes before the slot: close frees the headers under the
    // write lock, so a slot is never filled while it is being freed.
    kelLock lock(this, true, kWriteLockTimeout);
    if (!lock || f_handle.load() == 0) return 0;

    const auto slot = intptr_t(uintptr_t(f_hdrIndex.fetch_add(1) + 1) % kRingSlots);
    auto* header = outHeader(waveHeader(slot));
    if (header == nullptr) {
        header = new (std::nothrow) kelWaveOutHeader(this, size);
        if (header == nullptr) return 0;
        if (!header->valid()) {
            delete header;
            return 0;
        }
        header->hdr()->dwUser = size;
        f_headers[size_t(slot)] = header;
    }
    if (header->busy.load(std::memory_order_acquire)) return 0;
    WAVEHDR* hdr = header->hdr();
    if (hdr->dwFlags & WHDR_PREPARED) (void)unprepareHeader(header);
    if (hdr->dwUser < size) {
        if (!header->resizeBuffer(size)) return 0;
        hdr->dwUser = size;
    }
    if (data != nullptr) {
        std::memcpy(hdr->lpData, data, size);
    } else {
        std::memset(hdr->lpData, silenceByte(), size);
    }
    hdr->dwBufferLength = uint32_t(size);
    // The gain works on the copy; the caller's chunk stays as it was.
    if (!fromStream && !analyzeChunk(hdr->lpData, size, f_srcFormatExt.format())) return 0;
    if (prepareHeader(header) != MMSYSERR_NOERROR) return 0;
    header->busy.store(true, std::memory_order_release);
    if (addHeader(header) != MMSYSERR_NOERROR) {
        header->busy.store(false, std::memory_order_release);
        return 0;
    }
    if (const auto feed = f_onACF.get()) {
        try {
            (*feed)(this, hdr->lpData, size);
        } catch (...) {
            kelReportHookFailure("kelWaveOutDevice::onAfterChunkFeed");
        }
    }
    // A short queue is topped up: before anything played, with copies of
    // the chunk; once playback runs, audio is never repeated, so with
    // silence unless the chunk is silence itself.
    if (!fromStream && f_inProgress.load() < kTopUpBuffers) {
        const bool copy = data != nullptr && (!f_played.load() || isSilent(data, size));
        (void)writeChunk(copy ? data : nullptr, size, false);
    }
    return size;
}

// --- completions --------------------------------------------------------------------

void kelWaveOutDevice::waveCallback(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                    uintptr_t)
{
    if (msg != WOM_DONE || param1 == 0) return;
    reinterpret_cast<kelWaveOutDevice*>(instance)->completion(reinterpret_cast<WAVEHDR*>(param1));
}

void kelWaveOutDevice::completion(WAVEHDR* hdr) noexcept
{
    auto* header = outHeader(kelWaveHeader::fromWaveHdr(hdr));
    f_inProgress.fetch_sub(1);
    f_played = true;
    if (shouldStop() || f_closing.load()) {
        header->busy.store(false, std::memory_order_release);
        return;
    }
    // Completions already handed over run first: this one queues behind.
    if (f_deferred.load(std::memory_order_acquire) != 0) {
        deferCompletion(header);
        return;
    }
    kelLock lock(this, true, kCompletionLockTimeout);
    if (!lock) {
        deferCompletion(header);
        return;
    }
    runCompletion(header);
}

void kelWaveOutDevice::runCompletion(kelWaveHeader* header) noexcept
{
    try {
        (void)headerDone(header, true);
    } catch (...) {
        kelReportHookFailure("kelWaveOutDevice::headerDone");
    }
    outHeader(header)->busy.store(false, std::memory_order_release);
}

void kelWaveOutDevice::deferCompletion(kelWaveHeader* header) noexcept
{
    // At most one entry per header in flight, and there are fewer headers
    // than slots, so the ring cannot overflow.
    f_deferRing[f_deferHead % kDeferSlots] = header;
    ++f_deferHead;
    f_deferredTotal.fetch_add(1);
    f_deferred.fetch_add(1, std::memory_order_release);
    f_deviceEvent.setState(true);
}

void kelWaveOutDevice::runDeferredCompletions() noexcept
{
    while (f_deferred.load(std::memory_order_acquire) != 0 && !shouldStop()) {
        kelLock lock(this, true, kWriteLockTimeout);
        if (!lock) {
            // Still busy: the next cycle of the loop tries again.
            f_deviceEvent.setState(true);
            return;
        }
        kelWaveHeader* header = f_deferRing[f_deferTail % kDeferSlots];
        ++f_deferTail;
        runCompletion(header);
        f_deferred.fetch_sub(1, std::memory_order_release);
    }
}

bool kelWaveOutDevice::headerDone(kelWaveHeader* header, bool)
{
    if (shouldStop()) return true;
    if (header != nullptr) {
        if (const auto done = f_onACD.get()) {
            try {
                (*done)(this, header->hdr()->lpData, header->hdr()->dwBufferLength);
            } catch (...) {
                kelReportHookFailure("kelWaveOutDevice::onAfterChunkDone");
            }
        }
        f_deviceEvent.setState(true);
        return true;
    }
    runDeferredCompletions();
    if (!f_flushing.load() && overNumIn() == 0 && f_inStream.load() != nullptr) playFromInStream();
    return true;
}

void kelWaveOutDevice::playFromInStream() noexcept
{
    const uintptr_t size = chunkSize();
    if (size == 0) return;
    try {
        std::vector<uint8_t> chunk;
        while (f_inProgress.load() < streamAhead && getDataAvailable(true) >= size && !shouldStop()) {
            chunk.resize(size);
            const uintptr_t got = readFromInStream(chunk.data(), size, f_srcFormatExt.format());
            if (got == 0) continue; // judged silent and dropped: try the next chunk
            if (writeChunk(chunk.data(), size, true) == 0) {
                f_outOfStream.fetch_add(int64_t(size));
                return;
            }
        }
    } catch (...) {
        kelReportHookFailure("kelWaveOutDevice::playFromInStream");
    }
}

// --- flush and position ---------------------------------------------------------------

bool kelWaveOutDevice::doFlush(bool waitForComplete)
{
    if (f_handle.load() == 0 || !f_openDone.load()) return false;
    const uintptr_t size = chunkSize();
    if (waitForComplete) {
        f_flushing = true;
        const auto pause = std::chrono::milliseconds(f_waitInterval.load());
        for (uintptr_t i = 0, n = overNumIn(); i < n && size != 0; ++i) {
            (void)writeChunk(nullptr, size, false);
            std::this_thread::sleep_for(pause);
        }
        f_flushing = false;
        if (f_closing.load() && bodyActive() && t_deviceThreadOf != this) {
            for (int step = 0; step < flushDrainSteps && f_inProgress.load() > 0; ++step)
                std::this_thread::sleep_for(flushDrainStep);
        }
        return true;
    }
    if (size != 0) {
        std::vector<uint8_t> drop(size);
        while (bodyActive() && getDataAvailable(true) > size)
            if (readFromInStream(drop.data(), size, f_srcFormatExt.format()) == 0 &&
                getDataAvailable(true) == 0)
                break;
    }
    // Paused before the reset: a handler that refills from the returned
    // buffers queues into a paused device, and the restart rule resumes it.
    f_paused = true;
    (void)waveOutPause(waveHandle());
    (void)waveOutReset(waveHandle());
    f_played = false;
    return true;
}

uintptr_t kelWaveOutDevice::doGetPosition()
{
    if (!isOpen()) return 0;
    MMTIME time{TIME_SAMPLES, {0}};
    if (waveOutGetPosition(waveHandle(), &time, sizeof time) != MMSYSERR_NOERROR) return 0;
    return time.u.sample;
}
