#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelWaveFormatText.h"
#include "core/kelCreate.h"
#include "core/kelMemoryStream.h"
#include "core/kelTick.h"
#include "platform/kelWaveApi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

std::atomic<uintptr_t> defaultChunksPerSecond{50};
std::atomic<uintptr_t> maxInBuffers{10};
std::atomic<uintptr_t> outRestartThreshold{2};

namespace {

constexpr intptr_t kOpenLockTimeout = 1100;
constexpr intptr_t kLockTimeout = 1000;
constexpr intptr_t kStartTimeout = 10000;
constexpr intptr_t kCloseTimeout = 10012;
constexpr intptr_t kMemoryStreamLockTimeout = 100;
constexpr uintptr_t kMaxOverNumIn = 200;

kelMemoryStream* asMemoryStream(kelAbstractStream* stream) noexcept
{
    return dynamic_cast<kelMemoryStream*>(stream);
}

} // namespace

kelMsAcmStreamDevice::kelMsAcmStreamDevice(bool createInStream, bool createOutStream, uintptr_t inOverNum,
                                           uintptr_t outOverNum, bool calcVolume)
{
    for (auto& gain : f_setVolume)
        gain.store(100);
    if (createInStream)
        assignStream(true, new (std::nothrow) kelMemoryStream(kMemoryStreamLockTimeout), true);
    if (createOutStream)
        assignStream(false, new (std::nothrow) kelMemoryStream(kMemoryStreamLockTimeout), true);
    setOverNumIn(inOverNum);
    setOverNumOut(outOverNum);
    setCalcVolume(calcVolume);
    createDetectors();
}

kelMsAcmStreamDevice::~kelMsAcmStreamDevice()
{
    for (auto*& header : f_headers) {
        delete header;
        header = nullptr;
    }
    freeStream(true);
    freeStream(false);
}

void kelMsAcmStreamDevice::beforeDestruction()
{
    close(kCloseTimeout);
    dropFromNotifyLists();
    kelThread::beforeDestruction();
    clearMemoryStreams();
}

void kelMsAcmStreamDevice::dropFromNotifyLists() noexcept
{
    // Snapshots first: removing changes the lists being walked.
    auto snapshot = [](kelList& list) {
        std::vector<kelMsAcmStreamDevice*> devices;
        if (!list.lock(true)) return devices;
        for (intptr_t i = 0; i < list.count(); ++i)
            devices.push_back(static_cast<kelMsAcmStreamDevice*>(list.get(i)));
        list.unlockRO();
        return devices;
    };
    for (kelMsAcmStreamDevice* provider : snapshot(f_notifyDevices))
        if (provider) provider->removeConsumer(this);
    for (kelMsAcmStreamDevice* consumer : snapshot(f_consumers))
        if (consumer) consumer->f_notifyDevices.removeItem(static_cast<void*>(this), 0);
    f_consumers.clear(0);
    f_notifyDevices.clear(0);
}

// --- open and close ---------------------------------------------------------

uint32_t kelMsAcmStreamDevice::open(bool query, intptr_t timeout, uint32_t flags, bool startDevice)
{
    try {
        return doOpen(query, timeout, flags, startDevice);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::open");
        return MMSYSERR_ERROR;
    }
}

uint32_t kelMsAcmStreamDevice::close(intptr_t timeout)
{
    try {
        return doClose(timeout);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::close");
        f_closing.store(false);
        return MMSYSERR_ERROR;
    }
}

uint32_t kelMsAcmStreamDevice::doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice)
{
    kelLock lock(this, false, kOpenLockTimeout);
    if (!lock) return MMSYSERR_HANDLEBUSY;
    if (isOpen()) return MMSYSERR_NOERROR;
    // A format change refuses oversized chunks; a subclass that sets the
    // sizes itself meets the same bound here.
    if (f_chunkSize.load() > kelMaxChunkSize || f_dstChunkSize.load() > kelMaxChunkSize)
        return WAVERR_BADFORMAT;

    f_openCloseEvent.setState(false);
    uint32_t result = doOpenHandle(flags);
    if (result != MMSYSERR_NOERROR) {
        f_handle.store(0);
        return result;
    }
    if (query) {
        // A query opens nothing that would stay open.
        f_handle.store(0);
        return result;
    }
    if (!f_openCloseEvent.waitFor(timeout)) {
        close(kCloseTimeout);
        f_handle.store(0);
        return MMSYSERR_HANDLEBUSY;
    }
    result = afterOpen();
    if (result != MMSYSERR_NOERROR) {
        // The platform side is open but the device is not: close it, or the
        // handle would stay behind where close() never looks.
        freeAllHeaders();
        f_openCloseEvent.setState(false);
        if (doCloseHandle() == MMSYSERR_NOERROR) (void)f_openCloseEvent.waitFor(timeout);
        f_handle.store(0);
        return result;
    }
    f_openDone.store(true);
    if (startDevice) start(kStartTimeout);
    return result;
}

uint32_t kelMsAcmStreamDevice::doClose(intptr_t timeout)
{
    kelLock lock(this, false, timeout);
    if (!lock) return MMSYSERR_HANDLEBUSY;
    if (f_handle.load() == 0) return MMSYSERR_NOERROR;
    if (f_openDone.load()) flush(f_flushBeforeClose.load());
    f_closing.store(true);
    f_openDone.store(false);
    stop(timeout);
    freeAllHeaders();
    f_openCloseEvent.setState(false);
    uint32_t result = doCloseHandle();
    if (result == MMSYSERR_NOERROR) {
        const bool done = f_openCloseEvent.waitFor(timeout);
        f_handle.store(0);
        if (!done) result = MMSYSERR_HANDLEBUSY;
    }
    afterClose(result);
    f_closing.store(false);
    return result;
}

uint32_t kelMsAcmStreamDevice::doOpenHandle(uint32_t)
{
    f_inOverloadTotal.store(0);
    clearMemoryStreams();
    f_openCloseEvent.setState(true);
    return MMSYSERR_NOERROR;
}

uint32_t kelMsAcmStreamDevice::doCloseHandle()
{
    f_openCloseEvent.setState(true);
    clearMemoryStreams();
    return MMSYSERR_NOERROR;
}

uint32_t kelMsAcmStreamDevice::afterOpen()
{
    f_inBytes.store(0);
    f_outBytes.store(0);
    f_isSilence.store(true);
    f_isSilenceFirstTime = true;
    f_timeActive = 0;
    configureDetectors();
    return MMSYSERR_NOERROR;
}

void kelMsAcmStreamDevice::afterClose(uint32_t)
{
    for (size_t i = 0; i < kVolumeChannels; ++i) {
        f_volume[i].store(0, std::memory_order_relaxed);
        f_prevVolume[i].store(0, std::memory_order_relaxed);
        f_unVolume[i].store(0, std::memory_order_relaxed);
    }
}

bool kelMsAcmStreamDevice::flush(bool waitForComplete)
{
    try {
        return doFlush(waitForComplete);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::flush");
        f_flushing.store(false);
        return false;
    }
}

bool kelMsAcmStreamDevice::doFlush(bool)
{
    return true;
}

// --- headers ------------------------------------------------------------------

uint32_t kelMsAcmStreamDevice::prepareHeader(kelMsAcmDeviceHeader*)
{
    return MMSYSERR_NOERROR;
}

uint32_t kelMsAcmStreamDevice::unprepareHeader(kelMsAcmDeviceHeader*)
{
    return MMSYSERR_NOERROR;
}

uint32_t kelMsAcmStreamDevice::freeHeader(intptr_t headerSlot)
{
    if (headerSlot < 0 || size_t(headerSlot) >= kHeaderSlots) return MMSYSERR_INVALPARAM;
    kelMsAcmDeviceHeader* header = f_headers[size_t(headerSlot)];
    if (!header) return MMSYSERR_NOERROR;
    try {
        (void)unprepareHeader(header);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::unprepareHeader");
    }
    f_headers[size_t(headerSlot)] = nullptr;
    delete header;
    return MMSYSERR_NOERROR;
}

void kelMsAcmStreamDevice::freeAllHeaders() noexcept
{
    for (intptr_t slot = intptr_t(kHeaderSlots) - 1; slot >= 0; --slot) {
        if (!f_headers[size_t(slot)]) continue;
        try {
            (void)freeHeader(slot);
        } catch (...) {
            kelReportHookFailure("kelMsAcmStreamDevice::freeHeader");
        }
    }
    f_nextHdr = 0;
}

// --- write and read ---------------------------------------------------------------

uintptr_t kelMsAcmStreamDevice::write(const void* buf, uintptr_t size)
{
    try {
        return doWrite(buf, size);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::write");
        return 0;
    }
}

uintptr_t kelMsAcmStreamDevice::doWrite(const void* data, uintptr_t size)
{
    if (!isOpen() || (f_closing.load() && !f_flushing.load())) return 0;
    kelAbstractStream* in = f_inStream.load();
    if (!in || !data || size == 0 || size > uintptr_t(INTPTR_MAX)) return 0;
    if (!in->enter(false, intptr_t(4 * f_waitInterval.load()))) return 0;
    uintptr_t written = 0;
    const uintptr_t limit = f_inOverSize.load();
    if (f_inOverCN.load() != 0 && uintptr_t(in->getSize()) > limit) {
        f_inOverloadTotal.fetch_add(int64_t(size));
    } else {
        const intptr_t stored = in->write(data, intptr_t(size));
        written = stored > 0 ? uintptr_t(stored) : 0;
    }
    in->leaveWO();
    return written;
}

uintptr_t kelMsAcmStreamDevice::read(void* buf, uintptr_t size)
{
    kelAbstractStream* out = f_outStream.load();
    if (!out) return 0;
    if (size == 0) {
        if (!f_outStreamIskelMemoryStream.load()) return 0;
        kelMemoryStream* memory = asMemoryStream(out);
        if (!memory) return 0;
        const intptr_t first = memory->firstChunkSize();
        if (first <= 0) return 0;
        size = uintptr_t(first);
    }
    if (size > uintptr_t(INTPTR_MAX)) return 0;
    const intptr_t got = out->read(buf, intptr_t(size));
    return got > 0 ? uintptr_t(got) : 0;
}

uintptr_t kelMsAcmStreamDevice::getDataAvailable(bool isIn) noexcept
{
    kelAbstractStream* stream = isIn ? f_inStream.load() : f_outStream.load();
    if (!stream) return 0;
    const intptr_t size = stream->getSize();
    return size > 0 ? uintptr_t(size) : 0;
}

bool kelMsAcmStreamDevice::okToRead() noexcept
{
    const uintptr_t dstChunk = getMasterIsSrc() ? f_dstChunkSize.load() : f_chunkSize.load();
    const uintptr_t chunk = dstChunk ? dstChunk : f_chunkSize.load();
    const uintptr_t available = getDataAvailable(false);
    return available > 0 && available >= chunk;
}

bool kelMsAcmStreamDevice::waitForData(bool waitForInData, intptr_t timeout, uintptr_t expectedDataSize)
{
    kelAbstractStream* stream = waitForInData ? f_inStream.load() : f_outStream.load();
    const uint64_t mark = tickNow();
    auto remaining = [&]() -> int64_t { return int64_t(timeout) - int64_t(ticksSince(mark)); };
    if (stream) {
        if (expectedDataSize == 0) return stream->waitForData(timeout);
        // The data event is auto-reset and may be shared with the device
        // loop, so each wait is short and the size is what decides.
        while (getDataAvailable(waitForInData) < expectedDataSize) {
            const int64_t left = remaining();
            if (left <= 0) break;
            (void)stream->dataEvent().waitFor(std::min<int64_t>(left, 10));
        }
        return getDataAvailable(waitForInData) >= expectedDataSize;
    }
    // Without a stream nothing ever arrives; the wait still lasts its time,
    // as callers pace themselves by it.
    while (remaining() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(remaining(), 10)));
    return expectedDataSize == 0 ? false : getDataAvailable(waitForInData) >= expectedDataSize;
}

// --- streams and consumers -----------------------------------------------------------

void kelMsAcmStreamDevice::freeStream(bool isIn) noexcept
{
    std::atomic<kelAbstractStream*>& slot = isIn ? f_inStream : f_outStream;
    bool& owned = isIn ? f_careInStreamDestroy : f_careOutStreamDestroy;
    kelAbstractStream* stream = slot.exchange(nullptr);
    if (stream && owned) kelFree(stream);
    owned = false;
    (isIn ? f_inStreamIskelMemoryStream : f_outStreamIskelMemoryStream).store(false);
}

kelAbstractStream* kelMsAcmStreamDevice::assignStream(bool isInStream, kelAbstractStream* stream,
                                                      bool careDestroy)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return nullptr;
    std::atomic<kelAbstractStream*>& slot = isInStream ? f_inStream : f_outStream;
    if (slot.load() != stream) freeStream(isInStream);
    kelMemoryStream* memory = asMemoryStream(stream);
    (isInStream ? f_inStreamIskelMemoryStream : f_outStreamIskelMemoryStream).store(memory != nullptr);
    (isInStream ? f_careInStreamDestroy : f_careOutStreamDestroy) = stream && careDestroy;
    slot.store(stream);
    const uintptr_t overNum = isInStream ? f_inOverCN.load() : f_outOverCN.load();
    if (memory && overNum != 0) memory->setMaxCacheSize(overNum + 2);
    return stream;
}

kelAbstractStream* kelMsAcmStreamDevice::assignStream(kelStreamClass streamClass, bool isInStream,
                                                      bool careDestroy)
{
    if (!streamClass) return nullptr;
    kelAbstractStream* stream = streamClass(kLockTimeout);
    if (!stream) return nullptr;
    if (!assignStream(isInStream, stream, careDestroy)) {
        kelFree(stream);
        return nullptr;
    }
    return stream;
}

bool kelMsAcmStreamDevice::addConsumer(kelMsAcmStreamDevice* device, bool removeOutStream)
{
    if (!device || device == this) return false;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    if (f_consumers.indexOf(static_cast<void*>(device)) >= 0) return false;
    if (f_consumers.add(static_cast<void*>(device)) < 0) return false;
    if (device->f_notifyDevices.add(static_cast<void*>(this)) < 0) {
        f_consumers.removeItem(static_cast<void*>(device), 0);
        return false;
    }
    if (removeOutStream) assignStream(false, nullptr, false);
    return true;
}

bool kelMsAcmStreamDevice::removeConsumer(kelMsAcmStreamDevice* device)
{
    if (!device) return false;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    if (f_consumers.indexOf(static_cast<void*>(device)) < 0) return false;
    device->f_notifyDevices.removeItem(static_cast<void*>(this), 0);
    return f_consumers.removeItem(static_cast<void*>(device), 0);
}

// --- properties -------------------------------------------------------------------------

void kelMsAcmStreamDevice::setCalcVolume(bool value) noexcept
{
    f_calcVolume.store(value);
    f_savedCV.store(value);
}

void kelMsAcmStreamDevice::setOverNumIn(uintptr_t value) noexcept
{
    if (value > kMaxOverNumIn || value == f_inOverCN.load()) return;
    f_inOverCN.store(value);
    f_inOverSize.store(value * f_chunkSize.load());
    if (value != 0 && f_inStreamIskelMemoryStream.load())
        if (kelMemoryStream* memory = asMemoryStream(f_inStream.load())) memory->setMaxCacheSize(value + 2);
}

void kelMsAcmStreamDevice::setOverNumOut(uintptr_t value) noexcept
{
    f_outOverCN.store(value);
    f_outOverSize.store(value * f_chunkSize.load());
    if (value != 0 && f_outStreamIskelMemoryStream.load())
        if (kelMemoryStream* memory = asMemoryStream(f_outStream.load())) memory->setMaxCacheSize(value + 2);
}

void kelMsAcmStreamDevice::setMinVolumeLevel(uintptr_t value) noexcept
{
    const uintptr_t previous = f_minVL.exchange(value);
    if (previous == value) return;
    if (value != 0) {
        // Only the step from 0 saves: a change between two levels keeps the
        // setting that was in force before any level was set.
        if (previous == 0) f_savedCV.store(f_calcVolume.load());
        f_calcVolume.store(true);
    } else {
        f_calcVolume.store(f_savedCV.load());
    }
}

void kelMsAcmStreamDevice::setRealTime(bool value)
{
    f_realtime.store(value);
}

kelString kelMsAcmStreamDevice::srcFormatInfo() const
{
    kelLock lock(const_cast<kelMsAcmStreamDevice*>(this), true, kLockTimeout);
    if (!lock) return {};
    return f_srcFormatInfo;
}

kelString kelMsAcmStreamDevice::dstFormatInfo() const
{
    kelLock lock(const_cast<kelMsAcmStreamDevice*>(this), true, kLockTimeout);
    if (!lock) return {};
    return f_dstFormatInfo;
}

kelString kelMsAcmStreamDevice::doGetErrorText(uint32_t errorCode)
{
    return mmErrorTextWithCode(errorCode);
}

uintptr_t kelMsAcmStreamDevice::doGetPosition()
{
    const WAVEFORMATEX* dst = f_dstFormatExt.format();
    if (!dst) return 0;
    const uintptr_t frameBytes = uintptr_t(dst->wBitsPerSample / 8) * dst->nChannels;
    if (frameBytes == 0) return 0;
    const int64_t bytes = getMasterIsSrc() ? f_inBytes.load() : f_outBytes.load();
    return bytes > 0 ? uintptr_t(bytes) / frameBytes : 0;
}

bool kelMsAcmStreamDevice::formatChooseDef(kelFormatBlock& format)
{
    if (!format.format()) {
        WAVEFORMATEX preset{};
        fillPCMFormat(&preset, 44100, 16, 2);
        duplicateFormat(&preset, sizeof preset, format);
    }
    return format.format() != nullptr;
}

// --- thread hooks -----------------------------------------------------------------------

void kelMsAcmStreamDevice::startIn()
{
    kelThread::startIn();
}

void kelMsAcmStreamDevice::startOut()
{
    kelThread::startOut();
}

bool kelMsAcmStreamDevice::grantStop()
{
    f_deviceEvent.setState(true);
    return kelThread::grantStop();
}

void kelMsAcmStreamDevice::clearMemoryStreams() noexcept
{
    if (f_inStreamIskelMemoryStream.load())
        if (kelAbstractStream* in = f_inStream.load()) in->clear();
    if (f_outStreamIskelMemoryStream.load())
        if (kelAbstractStream* out = f_outStream.load()) out->clear();
}

const WAVEFORMATEX* kelMsAcmStreamDevice::masterFormat() noexcept
{
    return getMasterIsSrc() ? f_srcFormatExt.format() : f_dstFormatExt.format();
}
