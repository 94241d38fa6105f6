#include "components/kelmtlWaveInDevice.h"

#include "core/kelCreate.h"

kelmtlWaveInDevice::kelmtlWaveInDevice(kelComponent* owner) : kelmtlInOutWavePipe(owner)
{
    setIsFormatProvider(true);
}

kelmtlWaveInDevice::~kelmtlWaveInDevice() = default;

kelWaveInDevice* kelmtlWaveInDevice::waveInDevice() const noexcept
{
    return dynamic_cast<kelWaveInDevice*>(device());
}

void kelmtlWaveInDevice::createNewDevice()
{
    installDevice(
        kelCreate<kelWaveInDevice>(static_cast<uint32_t>(deviceId()), mapped(), direct(), overNum()));
    kelmtlInOutWavePipe::createNewDevice();
}
