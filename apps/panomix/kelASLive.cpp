#include "apps/panomix/kelASLive.h"

#include "apps/panomix/panomixDeviceList.h"
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
    f_waveIn.setDataHandler([this](const int16_t* data, size_t samples) { dataAvailable(data, samples); });
}

void kelASLive::rateChanged(uintptr_t)
{
    const kelLock lock(this, false, 1000);
    f_subChunk.assign(f_chunkSizeInSamples, 0);
}

void kelASLive::doStart()
{
    f_waveIn.open(f_deviceId, uint32_t(f_samplingRate), f_chunkSizeInSamples);
}

void kelASLive::dataAvailable(const int16_t* data, size_t samples)
{
    samples = std::min(samples, f_chunkSizeInSamples);
    if (samples == 0 || data == nullptr) return;
    const kelLock lock(this, false, 20);
    if (!lock || f_subChunk.size() < samples) return;
    std::memcpy(f_subChunk.data(), data, samples * 2);
}

void kelASLive::doPrepareNextChunk()
{
    const kelLock lock(this, false, 10);
    if (!lock || f_subChunk.size() != f_chunk.size()) return;
    f_chunk.swap(f_subChunk);
}
