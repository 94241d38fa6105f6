#include "components/kelmtlWaveOutDevice.h"

#include "core/kelCreate.h"

kelmtlWaveOutDevice::kelmtlWaveOutDevice(kelComponent* owner) : kelmtlInOutWavePipe(owner) {}

kelmtlWaveOutDevice::~kelmtlWaveOutDevice() = default;

void kelmtlWaveOutDevice::resetDefaults()
{
    kelmtlInOutWavePipe::resetDefaults();
    setInputIsPcm(false);
}

kelWaveOutDevice* kelmtlWaveOutDevice::waveOutDevice() const noexcept
{
    return dynamic_cast<kelWaveOutDevice*>(device());
}

void kelmtlWaveOutDevice::createNewDevice()
{
    auto* out = kelCreate<kelWaveOutDevice>(static_cast<uint32_t>(deviceId()), mapped(), direct(), overNum());
    if (out) {
        out->setOnAfterChunkFeed(
            [this](kelMsAcmStreamDevice*, void* data, uintptr_t size) { raise(false, data, size); });
        out->setOnAfterChunkDone(
            [this](kelMsAcmStreamDevice*, void* data, uintptr_t size) { raise(true, data, size); });
    }
    installDevice(out);
    kelmtlInOutWavePipe::createNewDevice();
}

void kelmtlWaveOutDevice::raise(bool done, void* data, uintptr_t size)
{
    if (size > UINT32_MAX) return;
    const auto handler = (done ? f_onFD : f_onFC).get();
    if (!handler) return;
    try {
        (*handler)(this, data, static_cast<uint32_t>(size));
    } catch (...) {
        kelReportHookFailure(done ? "kelmtlWaveOutDevice::onFeedDone" : "kelmtlWaveOutDevice::onFeedChunk");
    }
}

void kelmtlWaveOutDevice::setOnFeedChunk(kelmtlPipeDataEvent handler)
{
    f_onFC.set(std::move(handler));
}

void kelmtlWaveOutDevice::setOnFeedDone(kelmtlPipeDataEvent handler)
{
    f_onFD.set(std::move(handler));
}

void kelmtlWaveOutDevice::doSetEnableDP(bool value)
{
    kelmtlInOutWavePipe::doSetEnableDP(value);
    if (value) return;
    (void)withDevice(kReplaceDeviceTimeout, 0, [](kelMsAcmStreamDevice* device) {
        if (device) (void)device->flush(false);
        return 0;
    });
}
