#include "audio/kelWaveInDevice.h"

#include "audio/kelWaveFormatText.h"
#include "audio/kelWaveOpenRetry.h"
#include "core/kelCreate.h"

namespace {

constexpr uint32_t errorTextChars = 256;

uint32_t presetChooserFormat(kelMsAcmStreamDevice& device, kelFormatBlock& format)
{
    (void)device.formatChooseDef(format);
    return MMSYSERR_NOTSUPPORTED;
}

} // namespace

kelWaveInDevice::kelWaveInDevice(uint32_t deviceID, bool mapped, bool direct, uintptr_t overNum)
    : kelWaveDevice(deviceID, mapped, direct, true, overNum)
{
    (void)getCaps(deviceID, f_caps);
}

kelWaveInDevice::~kelWaveInDevice() = default;

uint32_t kelWaveInDevice::getDeviceCount() noexcept
{
    return waveInGetNumDevs();
}

bool kelWaveInDevice::getCaps(uint32_t deviceID, WAVEINCAPSW& caps) noexcept
{
    return waveInGetDevCapsW(deviceID, &caps, sizeof caps) == MMSYSERR_NOERROR;
}

kelString kelWaveInDevice::getErrorText(uint32_t errorCode)
{
    char16_t text[errorTextChars] = {};
    if (waveInGetErrorTextW(errorCode, text, errorTextChars) == MMSYSERR_NOERROR) return kelString(text);
    return mmErrorTextWithCode(errorCode);
}

uint32_t kelWaveInDevice::formatChoose(kelFormatBlock& format, const kelString&, uint32_t, uint32_t,
                                       const WAVEFORMATEX*)
{
    return presetChooserFormat(*this, format);
}

kelString kelWaveInDevice::doGetErrorText(uint32_t errorCode)
{
    return getErrorText(errorCode);
}

uint32_t kelWaveInDevice::doOpenHandle(uint32_t flags)
{
    uint32_t result = kelWaveDevice::doOpenHandle(flags);
    if (result != MMSYSERR_NOERROR) return result;
    f_lastOpenFlags = flags;
    HWAVEIN handle = nullptr;
    result = kelWaveOpenWithRetry(true, &handle, f_deviceID, f_dstFormatExt,
                                  reinterpret_cast<uintptr_t>(&kelWaveInDevice::waveCallback),
                                  reinterpret_cast<uintptr_t>(this), flags);
    if (result == MMSYSERR_NOERROR && handle != nullptr) f_handle = reinterpret_cast<uintptr_t>(handle);
    return result;
}

uint32_t kelWaveInDevice::afterOpen()
{
    const uint32_t result = kelWaveDevice::afterOpen();
    if (result != MMSYSERR_NOERROR) return result;
    f_inProgress = 0;
    (void)addInBuffer(nullptr, true);
    return waveInStart(waveHandle());
}

uint32_t kelWaveInDevice::doCloseHandle()
{
    const uint32_t result = waveInClose(waveHandle());
    if (result != MMSYSERR_NOERROR) return result;
    return kelWaveDevice::doCloseHandle();
}

bool kelWaveInDevice::addInBuffer(kelWaveHeader* header, bool more)
{
    bool queued = false;
    do {
        if (shouldStop() || f_inProgress.load() >= intptr_t(maxInBuffers.load())) return queued;
        kelWaveHeader* next = header;
        header = nullptr;
        if (next == nullptr) {
            // Headers are made once, each with its event in the handle
            // slot that matches its header slot.
            if (f_nextHdr >= intptr_t(kHeaderSlots) - 1 || f_handlesCnt.load() >= kHandleSlots) return queued;
            next = allocHeader(chunkSize(), nullptr, true);
            if (next == nullptr) return queued;
            kelEvent* event = next->event();
            if (event == nullptr || addHandle(event) < 0) {
                (void)unprepareHeader(next);
                delete next;
                return queued;
            }
            next->hdr()->dwUser = reinterpret_cast<uintptr_t>(event);
            f_headers[size_t(f_nextHdr++)] = next;
        }
        if (addHeader(next) != MMSYSERR_NOERROR) return queued;
        queued = true;
    } while (more);
    return queued;
}

uint32_t kelWaveInDevice::addHeader(kelWaveHeader* header)
{
    WAVEHDR* hdr = header->hdr();
    hdr->dwBytesRecorded = 0;
    hdr->dwFlags &= ~WHDR_DONE;
    const uint32_t result = waveInAddBuffer(waveHandle(), hdr, sizeof(WAVEHDR));
    if (result == MMSYSERR_NOERROR) f_inProgress.fetch_add(1);
    return result;
}

void kelWaveInDevice::waveCallback(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                   uintptr_t)
{
    if (msg != WIM_DATA || param1 == 0) return;
    auto* self = reinterpret_cast<kelWaveInDevice*>(instance);
    if (self->shouldStop()) return;
    // Everything else happens on the device thread, woken by the event.
    if (kelEvent* event = kelWaveHeader::fromWaveHdr(reinterpret_cast<WAVEHDR*>(param1))->existingEvent())
        event->setState(true);
}

bool kelWaveInDevice::headerDone(kelWaveHeader* header, bool reAdd)
{
    if (header != nullptr) {
        WAVEHDR* hdr = header->hdr();
        (void)deliverChunk(hdr->lpData, hdr->dwBytesRecorded, f_dstFormatExt.format());
        f_inProgress.fetch_sub(1);
    }
    if (reAdd) (void)addInBuffer(header, false);
    return true;
}

uint32_t kelWaveInDevice::prepareHeader(kelMsAcmDeviceHeader* header)
{
    WAVEHDR* hdr = static_cast<kelWaveHeader*>(header)->hdr();
    hdr->dwFlags = 0;
    return waveInPrepareHeader(waveHandle(), hdr, sizeof(WAVEHDR));
}

uint32_t kelWaveInDevice::unprepareHeader(kelMsAcmDeviceHeader* header)
{
    auto* wave = static_cast<kelWaveHeader*>(header);
    const uint32_t result = waveInUnprepareHeader(waveHandle(), wave->hdr(), sizeof(WAVEHDR));
    wave->freeEvent();
    return result;
}

uint32_t kelWaveInDevice::freeHeader(intptr_t headerSlot)
{
    // Buffers still queued (the thread never ran, or its stop timed out)
    // come back first, so the platform never writes into freed memory.
    if (f_handle.load() != 0 && waveHeader(headerSlot) != nullptr) (void)waveInReset(waveHandle());
    return kelWaveDevice::freeHeader(headerSlot);
}

uintptr_t kelWaveInDevice::doGetPosition()
{
    if (!isOpen()) return 0;
    MMTIME time{TIME_SAMPLES, {0}};
    if (waveInGetPosition(waveHandle(), &time, sizeof time) != MMSYSERR_NOERROR) return 0;
    return time.u.sample;
}

void kelWaveInDevice::startIn()
{
    kelWaveDevice::startIn();
    (void)setPriority(kelThreadPriorityTimeCritical);
}

void kelWaveInDevice::startOut()
{
    (void)waveInStop(waveHandle());
    (void)waveInReset(waveHandle());
    kelWaveDevice::startOut();
}
