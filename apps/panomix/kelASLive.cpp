#include "apps/panomix/kelASLive.h"

#include "apps/panomix/panomixDeviceList.h"
#include "audio/kelWaveInDevice.h"
#include "core/kelParseInt.h"

#include <algorithm>
#include <cstring>

kelASLive::kelASLive(const kelString& param)
    : kelAudioSource(kelASTypeLive, param), f_deviceId(intptr_t(parseInteger(param, -1)))
{
    // Named as the source window's device list names the device.
    f_name = u"Live from ";
    for (const panomixDeviceEntry& device : panomixInputDevices())
        if (device.deviceId == f_deviceId) f_name += device.name;
    f_waveIn.reset(kelCreate<kelWaveInDevice>(f_deviceId < 0 ? WAVE_MAPPER : uint32_t(f_deviceId), false,
                                              true, uintptr_t(0)));
    if (!f_waveIn) return;
    // The data leaves only through the handler.
    f_waveIn->assignStream(false, nullptr, false);
    f_waveIn->setOnDataAvailable([this](kelMsAcmStreamDevice* sender, void* data, uintptr_t size) {
        dataAvailable(sender, data, size);
    });
}

kelASLive::~kelASLive() = default;

void kelASLive::rateChanged(uintptr_t rate)
{
    if (f_waveIn) f_waveIn->setSampling(uint32_t(rate), 16, 1);
    const kelLock lock(this, false, 1000);
    f_subChunk.assign(f_chunkSizeInSamples, 0);
}

bool kelASLive::getActive()
{
    return f_waveIn && f_waveIn->isOpen();
}

void kelASLive::doStart()
{
    if (f_waveIn) f_waveIn->open(false, 10002, 0, true);
}

void kelASLive::doStop()
{
    if (f_waveIn) f_waveIn->close(10012);
}

void kelASLive::dataAvailable(kelMsAcmStreamDevice*, void* data, uintptr_t size)
{
    size = std::min<uintptr_t>(size, 2 * f_chunkSizeInSamples);
    if (size == 0 || data == nullptr) return;
    const kelLock lock(this, false, 20);
    if (!lock || f_subChunk.size() * 2 < size) return;
    std::memcpy(f_subChunk.data(), data, size);
}

void kelASLive::doPrepareNextChunk()
{
    const kelLock lock(this, false, 10);
    if (!lock || f_subChunk.size() != f_chunk.size()) return;
    f_chunk.swap(f_subChunk);
}
