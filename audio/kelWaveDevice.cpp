#include "audio/kelWaveDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"
#include "platform/kelWaveApi.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr intptr_t kOpenLockTimeout = 1100;
constexpr int64_t kClosingSleep = 10;

} // namespace

kelWaveDevice::kelWaveDevice(uint32_t deviceID, bool mapped, bool direct, bool isIn, uintptr_t overNum)
    : kelMsAcmStreamDevice(!isIn, isIn, overNum, overNum, false), f_deviceID(deviceID), f_mapped(mapped),
      f_direct(direct)
{}

kelWaveDevice::~kelWaveDevice() = default;

bool kelWaveDevice::setSampling(uint32_t samplesPerSec, uint16_t bitsPerSample, uint16_t numChannels)
{
    WAVEFORMATEX format{};
    fillPCMFormat(&format, samplesPerSec, bitsPerSample, numChannels);
    return setSampling(format);
}

bool kelWaveDevice::setSampling(const WAVEFORMATEX& pcmFormat)
{
    return doSetFormat(getMasterIsSrc(), &pcmFormat, sizeof pcmFormat);
}

bool kelWaveDevice::setSamplingExt(bool, const WAVEFORMATEXTENSIBLE* format)
{
    return doSetFormatExt(getMasterIsSrc(), format);
}

uint32_t kelWaveDevice::openFlags(uint32_t flags, bool query) const noexcept
{
    if (flags != 0) return flags;
    flags = CALLBACK_FUNCTION;
    if (f_mapped) flags |= WAVE_MAPPED;
    if (f_direct) flags |= WAVE_FORMAT_DIRECT;
    if (query) flags |= WAVE_FORMAT_QUERY;
    return flags;
}

uint32_t kelWaveDevice::doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice)
{
    kelLock lock(this, false, kOpenLockTimeout);
    if (!lock) return MMSYSERR_HANDLEBUSY;
    if (isOpen()) return MMSYSERR_NOERROR;
    f_handles.fill(nullptr);
    f_handles[0] = &f_deviceEvent;
    if (kelAbstractStream* in = f_inStream.load()) {
        f_ownDataEvent.reset();
        f_handles[1] = &in->dataEvent();
    } else {
        if (!f_ownDataEvent) f_ownDataEvent.reset(new (std::nothrow) kelEvent(false, false));
        if (!f_ownDataEvent) return MMSYSERR_NOMEM;
        f_handles[1] = f_ownDataEvent.get();
    }
    f_handlesCnt.store(2);
    const uint32_t result =
        kelMsAcmStreamDevice::doOpen(query, timeout, openFlags(flags, query), startDevice);
    if (!isOpen()) {
        f_handlesCnt.store(0);
        f_ownDataEvent.reset();
    }
    return result;
}

uint32_t kelWaveDevice::doClose(intptr_t timeout)
{
    kelLock lock(this, false, timeout);
    if (!lock) return MMSYSERR_HANDLEBUSY;
    const uint32_t result = kelMsAcmStreamDevice::doClose(timeout);
    if (f_handle.load() == 0 && !bodyActive()) {
        f_handlesCnt.store(0);
        f_handles.fill(nullptr);
        f_ownDataEvent.reset();
    }
    return result;
}

uint32_t kelWaveDevice::addHeader(kelWaveHeader*)
{
    return MMSYSERR_NOTSUPPORTED;
}

bool kelWaveDevice::headerDone(kelWaveHeader*, bool)
{
    return true;
}

intptr_t kelWaveDevice::execute(uintptr_t)
{
    const uintptr_t perSecond = chunkPerSecond();
    const uintptr_t rate = perSecond ? perSecond : std::max<uintptr_t>(1, defaultChunksPerSecond.load());
    f_waitInterval.store(std::max<uintptr_t>(1, 1000 / rate));

    while (!shouldStop()) {
        try {
            const int64_t interval = int64_t(f_waitInterval.load());
            const uintptr_t count = f_handlesCnt.load(std::memory_order_acquire);
            const intptr_t fired = count ? kelEvent::waitForAny(f_handles.data(), count, interval) : -1;
            if (shouldStop()) break;
            const bool working = !f_closing.load() || f_flushing.load();
            if (working && fired >= 0) {
                (void)headerDone(fired >= 2 ? waveHeader(fired - 2) : nullptr, fired != 1);
            } else if (!f_realtime.load() && working) {
                const uintptr_t overNum = overNumIn();
                if (overNum == 0 || uintptr_t(std::max<intptr_t>(0, f_inProgress.load())) < overNum)
                    (void)headerDone(nullptr, false);
            }
            // No handles to wait on (the loop runs on a closed device):
            // pace the loop instead of spinning.
            if (count == 0) sleepThread(interval);
            if (f_closing.load() && !f_flushing.load()) sleepThread(kClosingSleep);
        } catch (...) {
            kelReportHookFailure("kelWaveDevice::execute");
        }
    }
    return 0;
}

kelWaveHeader* kelWaveDevice::allocHeader(size_t size, const void* data, bool prepare)
{
    auto* header = new (std::nothrow) kelWaveHeader(this, size);
    if (!header) return nullptr;
    if (!header->valid()) {
        delete header;
        return nullptr;
    }
    if (data && size) std::memcpy(header->data(), data, size);
    if (prepare) (void)prepareHeader(header);
    return header;
}

uint32_t kelWaveDevice::freeHeader(intptr_t headerSlot)
{
    return kelMsAcmStreamDevice::freeHeader(headerSlot);
}

kelWaveHeader* kelWaveDevice::waveHeader(intptr_t slot) const noexcept
{
    if (slot < 0 || size_t(slot) >= kHeaderSlots) return nullptr;
    return static_cast<kelWaveHeader*>(f_headers[size_t(slot)]);
}

intptr_t kelWaveDevice::addHandle(kelEvent* event) noexcept
{
    const uintptr_t count = f_handlesCnt.load();
    if (!event || count >= kHandleSlots) return -1;
    f_handles[count] = event;
    f_handlesCnt.store(count + 1, std::memory_order_release);
    return intptr_t(count);
}
