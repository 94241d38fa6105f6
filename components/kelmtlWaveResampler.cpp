#include "components/kelmtlWaveResampler.h"

#include "audio/kelWaveFormatRoutines.h"
#include "components/kelWaveFormatBlock.h"
#include "core/kelCreate.h"

#include <cstring>

kelmtlWaveResampler::kelmtlWaveResampler(kelComponent* owner) : kelmtlInOutWavePipe(owner)
{
    (void)fillFormatExtPCM(f_dstFormatExt, kDefaultDstRate, 0, kDefaultDstBits, kDefaultDstChannels);
}

kelmtlWaveResampler::~kelmtlWaveResampler() = default;

kelWaveResampler* kelmtlWaveResampler::resampler() const noexcept
{
    return dynamic_cast<kelWaveResampler*>(device());
}

kelFormatBlock kelmtlWaveResampler::copyDstRecord() const
{
    std::lock_guard<std::mutex> guard(f_dstGuard);
    kelFormatBlock copy;
    if (!f_dstFormatExt.empty() && copy.resize(f_dstFormatExt.size()))
        std::memcpy(copy.data(), f_dstFormatExt.data(), f_dstFormatExt.size());
    return copy;
}

std::vector<uint8_t> kelmtlWaveResampler::dstFormatExt() const
{
    std::lock_guard<std::mutex> guard(f_dstGuard);
    return std::vector<uint8_t>(f_dstFormatExt.data(), f_dstFormatExt.data() + f_dstFormatExt.size());
}

void kelmtlWaveResampler::createNewDevice()
{
    auto* device = kelCreate<kelWaveResampler>(realTime(), overNum());
    if (device) device->setUseSpeexDSP(f_uspeexdsp.load());
    installDevice(device);
    kelmtlInOutWavePipe::createNewDevice();
    (void)applyDeviceFormat(copyDstRecord(), false);
}

bool kelmtlWaveResampler::applyDeviceFormat(const kelFormatBlock& format, bool isSrc)
{
    const WAVEFORMATEX* record = format.format();
    if (!record) return false;
    const bool speex = f_uspeexdsp.load();
    return withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* device) {
        auto* r = dynamic_cast<kelWaveResampler*>(device);
        if (!r) return false;
        r->setUseSpeexDSP(speex);
        return r->setSampling(isSrc, record->nSamplesPerSec, record->wBitsPerSample, record->nChannels);
    });
}

kelPcmValues kelmtlWaveResampler::dstValues() const
{
    kelFormatBlock record;
    // The device guard is taken, not changed.
    auto* self = const_cast<kelmtlWaveResampler*>(this);
    const bool fromDevice =
        self->withDevice(kDataDeviceTimeout, false, [&record](kelMsAcmStreamDevice* device) {
            if (!device || device->dstFormatBlock().empty()) return false;
            const kelFormatBlock& dst = device->dstFormatBlock();
            if (!record.resize(dst.size())) return false;
            std::memcpy(record.data(), dst.data(), dst.size());
            return true;
        });
    if (fromDevice) return kelPcmValuesOf(record);
    return kelPcmValuesOf(copyDstRecord());
}

uint32_t kelmtlWaveResampler::dst_SamplesPerSec() const
{
    return dstValues().samplesPerSec;
}

uint32_t kelmtlWaveResampler::dst_BitsPerSample() const
{
    return dstValues().bitsPerSample;
}

uint32_t kelmtlWaveResampler::dst_NumChannels() const
{
    return dstValues().numChannels;
}

void kelmtlWaveResampler::setDstByIndex(int index, uintptr_t value)
{
    kelFormatBlock record = copyDstRecord();
    if (kelPcmRecordHolds(record, index, value, false)) return;
    if (!kelRebuildPcmRecord(record, index, value, false)) return;
    const bool wasActive = active();
    if (wasActive) close();
    if (applyDeviceFormat(record, false)) {
        std::lock_guard<std::mutex> guard(f_dstGuard);
        f_dstFormatExt = std::move(record);
    } else {
        // The resampler keeps the destination it had.
        (void)applyDeviceFormat(copyDstRecord(), false);
    }
    (void)checkFormatChange(wasActive);
    if (wasActive) (void)open();
}

void kelmtlWaveResampler::setUseSpeexDSP(bool value)
{
    if (f_uspeexdsp.exchange(value) == value) return;
    const bool wasActive = active();
    if (wasActive) close();
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (auto* r = dynamic_cast<kelWaveResampler*>(device)) r->setUseSpeexDSP(value);
        return 0;
    });
    if (wasActive) (void)open();
}

uintptr_t kelmtlWaveResampler::getDstChunkSize()
{
    return withDevice(kDataDeviceTimeout, uintptr_t{0},
                      [](kelMsAcmStreamDevice* device) { return device ? device->dstChunkSize() : 0; });
}

uint32_t kelmtlWaveResampler::getFormatExchangeData(std::vector<uint8_t>& data)
{
    kelFormatBlock record;
    const bool fromDevice = withDevice(kReplaceDeviceTimeout, false, [&record](kelMsAcmStreamDevice* device) {
        if (!device || device->dstFormatBlock().empty()) return false;
        const kelFormatBlock& dst = device->dstFormatBlock();
        if (!record.resize(dst.size())) return false;
        std::memcpy(record.data(), dst.data(), dst.size());
        return true;
    });
    if (!fromDevice) record = copyDstRecord();
    const kelWaveFormat block = kelWaveFormatOfRecord(kelWaveFormatTagPCM, record);
    return kelWriteWaveFormatBlock(block, data);
}
