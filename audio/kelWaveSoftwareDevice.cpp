#include "audio/kelWaveSoftwareDevice.h"

#include "audio/kelMMTimer.h"
#include "core/kelCreate.h"
#include "platform/kelWaveApi.h"

namespace {

constexpr uintptr_t kIdleInterval = 1000; // until a chunk rate is known
constexpr intptr_t kRealTimePriority = kelThreadPriorityTimeCritical;
constexpr intptr_t kOtherPriority = kelThreadPriorityAboveNormal;

} // namespace

kelWaveSoftwareDevice::kelWaveSoftwareDevice(bool realTime, bool isIn, uintptr_t overNum)
    : kelWaveDevice(0xFFFFFFFFu, false, false, isIn, overNum)
{
    setRealTime(realTime);
}

kelWaveSoftwareDevice::~kelWaveSoftwareDevice()
{
    freeRealTimer();
}

void kelWaveSoftwareDevice::freeRealTimer() noexcept
{
    if (f_realTimer == nullptr) return;
    kelFree(f_realTimer);
    f_realTimer = nullptr;
}

void kelWaveSoftwareDevice::setRealTime(bool value)
{
    kelWaveDevice::setRealTime(value);
    if (value && f_realTimer == nullptr) {
        f_realTimer = kelCreate<kelMMTimer>(kIdleInterval, 0);
        if (f_realTimer != nullptr) {
            f_realTimer->setClock(clock());
            f_realTimer->setOnTimer([this](kelAbstractTimer*) { onRealTimer(); });
            retimeRealTimer();
        }
    } else if (!value) {
        freeRealTimer();
    }
    (void)setPriority(value ? kRealTimePriority : kOtherPriority);
}

void kelWaveSoftwareDevice::setClock(const kelClock& clock) noexcept
{
    kelWaveDevice::setClock(clock);
    if (f_realTimer != nullptr) f_realTimer->setClock(clock);
}

void kelWaveSoftwareDevice::retimeRealTimer() noexcept
{
    if (f_realTimer == nullptr) return;
    const uintptr_t perSecond = chunkPerSecond();
    if (perSecond == 0)
        f_realTimer->setInterval(kIdleInterval);
    else
        // The exact rate: 49 chunks a second are 20.408 ms apart, not 20.
        f_realTimer->setTicksPerSecond(perSecond);
}

bool kelWaveSoftwareDevice::doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize)
{
    if (!kelWaveDevice::doSetFormat(isSrc, format, formatSize)) return false;
    if (isSrc == getMasterIsSrc()) retimeRealTimer();
    return true;
}

uint32_t kelWaveSoftwareDevice::doOpenHandle(uint32_t flags)
{
    const uint32_t result = kelWaveDevice::doOpenHandle(flags);
    if (result == MMSYSERR_NOERROR) f_handle.store(1);
    return result;
}

uint32_t kelWaveSoftwareDevice::doCloseHandle()
{
    return kelWaveDevice::doCloseHandle();
}

uint32_t kelWaveSoftwareDevice::afterOpen()
{
    const uint32_t result = kelWaveDevice::afterOpen();
    if (result != MMSYSERR_NOERROR) return result;
    f_realTimerCount.store(0);
    startRealTimer();
    return MMSYSERR_NOERROR;
}

void kelWaveSoftwareDevice::afterClose(uint32_t closeResult)
{
    stopRealTimer();
    kelWaveDevice::afterClose(closeResult);
}

void kelWaveSoftwareDevice::startRealTimer() noexcept
{
    if (f_realTimer == nullptr) return;
    retimeRealTimer();
    f_realTimer->start();
}

void kelWaveSoftwareDevice::stopRealTimer() noexcept
{
    if (f_realTimer != nullptr) f_realTimer->stop();
}

uint32_t kelWaveSoftwareDevice::prepareHeader(kelMsAcmDeviceHeader* header)
{
    if (auto* wave = dynamic_cast<kelWaveHeader*>(header)) wave->hdr()->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t kelWaveSoftwareDevice::unprepareHeader(kelMsAcmDeviceHeader* header)
{
    if (auto* wave = dynamic_cast<kelWaveHeader*>(header)) wave->hdr()->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t kelWaveSoftwareDevice::addHeader(kelWaveHeader*)
{
    return MMSYSERR_NOERROR;
}

void kelWaveSoftwareDevice::onRealTimer()
{
    f_realTimerCount.fetch_add(1);
    f_deviceEvent.setState(true);
}

bool kelWaveSoftwareDevice::headerDone(kelWaveHeader*, bool)
{
    if (!f_realtime.load()) return true;
    intptr_t count = f_realTimerCount.load();
    do {
        if (count <= 0) return false;
    } while (!f_realTimerCount.compare_exchange_weak(count, count - 1));
    // Ticks left over (the thread was late): come back at once.
    if (count > 1) f_deviceEvent.setState(true);
    return true;
}

void kelWaveSoftwareDevice::cycleDone(kelWaveHeader* header)
{
    if (f_realtime.load() || header != nullptr || shouldStop()) return;
    const uintptr_t delay = f_nonrealTimeDelay.load();
    if (delay != 0) {
        if (getDataAvailable(true) < chunkSize()) (void)waitForData(true, intptr_t(delay), chunkSize());
    } else if (f_handlesCnt.load() > 1 && f_handles[1] != nullptr) {
        f_handles[1]->setState(true);
    }
}
