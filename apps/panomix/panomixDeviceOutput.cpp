#include "apps/panomix/panomixDeviceOutput.h"

#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelWaveOutDevice.h"
#include "platform/kelVirtualWave.h"

#include <algorithm>
#include <utility>

panomixDeviceOutput::panomixDeviceOutput(intptr_t deviceId, uintptr_t overNum)
    : f_device(
          kelCreate<kelWaveOutDevice>(deviceId < 0 ? WAVE_MAPPER : uint32_t(deviceId), false, false, overNum))
{
    if (!f_device) return;
    f_device->setOnAfterChunkDone([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
        if (f_handler) f_handler(static_cast<uint8_t*>(data), size);
    });
}

panomixDeviceOutput::~panomixDeviceOutput()
{
    close();
}

bool panomixDeviceOutput::open()
{
    if (!f_device) return false;
    close();
    kelFormatBlock block;
    const WAVEFORMATEXTENSIBLE* format =
        fillFormatExtPCM(block, f_rate, 16, 16, uint16_t(std::max<uint32_t>(f_channels, 1)), f_mask);
    if (format == nullptr || !f_device->setSamplingExt(true, format)) return false;
    f_waveError = f_device->open(false, 2000, 0, true);
    return f_waveError == 0 && f_device->isOpen();
}

void panomixDeviceOutput::close()
{
    if (f_device && f_device->isOpen()) f_device->close(10012);
}

bool panomixDeviceOutput::active() const
{
    return f_device && f_device->isOpen() && !f_device->closing();
}

void panomixDeviceOutput::flush()
{
    if (f_device) f_device->flush(true);
}

size_t panomixDeviceOutput::write(const uint8_t* data, size_t len)
{
    return f_device ? f_device->write(data, len) : 0;
}

void panomixPlayVirtualIntoNothing()
{
    kelVirtualWave::instance().playInto("/dev/null");
}
