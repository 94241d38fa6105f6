#include "components/kelmtlWaveMixer.h"

#include "components/kelWaveFormatBlock.h"
#include "components/kelWavePcmRecord.h"
#include "core/kelAbstractStream.h"
#include "core/kelCreate.h"

kelmtlWaveMixer::kelmtlWaveMixer(kelComponent* owner) : kelmtlInOutWavePipe(owner) {}

kelmtlWaveMixer::~kelmtlWaveMixer() = default;

kelWaveMixerDevice* kelmtlWaveMixer::mixer() const noexcept
{
    return dynamic_cast<kelWaveMixerDevice*>(device());
}

intptr_t kelmtlWaveMixer::indexOf(const kelmtlInOutPipe* provider) const noexcept
{
    for (size_t i = 0; i < f_sources.size(); ++i)
        if (f_sources[i].provider == provider) return static_cast<intptr_t>(i);
    return -1;
}

void kelmtlWaveMixer::createNewDevice()
{
    auto* device = kelCreate<kelWaveMixerDevice>(realTime(), addSilence(), overNum());
    installDevice(device);
    kelmtlInOutWavePipe::createNewDevice();
    kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
    if (lock) attachStreams(mixer());
}

void kelmtlWaveMixer::attachStreams(kelWaveMixerDevice* device)
{
    for (Source& source : f_sources)
        source.stream = device ? device->addStream(nullptr) : nullptr;
}

void kelmtlWaveMixer::destroyDevice()
{
    {
        // The streams go with the device: no write may reach them after this.
        kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
        for (Source& source : f_sources)
            source.stream = nullptr;
    }
    kelmtlInOutWavePipe::destroyDevice();
}

bool kelmtlWaveMixer::doAddProvider(kelmtlInOutPipe* provider)
{
    if (!provider) return false;
    bool madeSource = false;
    {
        // The source exists before the link: linking sends the provider's
        // format, which is judged per source.
        kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
        if (!lock) return false;
        if (indexOf(provider) < 0) {
            try {
                f_sources.push_back(Source{provider, nullptr, false});
            } catch (...) {
                return false;
            }
            if (kelWaveMixerDevice* device = mixer()) f_sources.back().stream = device->addStream(nullptr);
            madeSource = true;
        }
    }
    const bool added = kelmtlInOutWavePipe::doAddProvider(provider);
    if (!added && madeSource) {
        kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
        const intptr_t index = lock ? indexOf(provider) : -1;
        if (index >= 0) {
            if (kelWaveMixerDevice* device = mixer(); device && f_sources[size_t(index)].stream)
                (void)device->removeStream(f_sources[size_t(index)].stream);
            f_sources.erase(f_sources.begin() + index);
        }
    }
    return added;
}

void kelmtlWaveMixer::doRemoveProvider(kelmtlInOutPipe* provider)
{
    kelmtlInOutWavePipe::doRemoveProvider(provider);
    kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
    if (!lock) return;
    const intptr_t index = indexOf(provider);
    if (index < 0) return;
    kelAbstractStream* stream = f_sources[size_t(index)].stream;
    if (kelWaveMixerDevice* device = mixer(); device && stream) (void)device->removeStream(stream);
    f_sources.erase(f_sources.begin() + index);
}

uint32_t kelmtlWaveMixer::doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider)
{
    if (!enableDataProcessing()) return kelmtlInOutWavePipe::doWrite(data, len, provider);
    kelLock lock(&f_sourceGuard, true, kDataDeviceTimeout);
    if (!lock) return 0;
    const intptr_t index = indexOf(provider);
    if (index < 0) return 0;
    const Source& source = f_sources[size_t(index)];
    if (!source.stream) return 0;
    if (source.formatRefused) {
        f_formatDrops.fetch_add(len);
        return 0;
    }
    // A stream holds a device's streams only while it has a device (see
    // destroyDevice), so the device is there.
    kelWaveMixerDevice* device = mixer();
    const uintptr_t limit = overNum() * (device ? device->chunkSize() : 0);
    const intptr_t held = source.stream->getSize();
    if (held < 0 || uintptr_t(held) > limit) {
        f_overloadDrops.fetch_add(len);
        return 0;
    }
    const intptr_t written = source.stream->write(data, len);
    if (written <= 0) {
        f_overloadDrops.fetch_add(len);
        return 0;
    }
    return static_cast<uint32_t>(written);
}

bool kelmtlWaveMixer::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                  bool restoreActiveState)
{
    kelWaveFormatBlockContent content;
    kelFormatBlock offered;
    if (!kelReadWaveFormatBlock(data, len, content) || !kelFillPcmRecord(offered, content.format))
        return kelmtlInOutWavePipe::applyFormat(data, len, provider, restoreActiveState);
    bool others = false;
    for (intptr_t i = 0, n = providerCount(); i < n && !others; ++i) {
        kelmtlInOutPipe* linked = getProvider(i);
        others = linked != nullptr && linked != provider;
    }
    // Every stream is mixed in one format: while another provider is
    // linked, a provider cannot change it.
    const bool refused = others && !kelSamePcmValues(offered, copyFormatRecord());
    {
        kelLock lock(&f_sourceGuard, false, kReplaceDeviceTimeout);
        const intptr_t index = lock ? indexOf(provider) : -1;
        if (index >= 0) f_sources[size_t(index)].formatRefused = refused;
    }
    if (refused) return false;
    return kelmtlInOutWavePipe::applyFormat(data, len, provider, restoreActiveState);
}

intptr_t kelmtlWaveMixer::deviceIndexOf(intptr_t index) const noexcept
{
    // A stream the device could not add leaves no place in the device.
    if (index < 0 || !f_sources[size_t(index)].stream) return -1;
    intptr_t place = 0;
    for (intptr_t i = 0; i < index; ++i)
        place += f_sources[size_t(i)].stream != nullptr;
    return place;
}

intptr_t kelmtlWaveMixer::streamIndexOf(const kelmtlInOutPipe* provider)
{
    kelLock lock(&f_sourceGuard, true, kDataDeviceTimeout);
    return lock ? indexOf(provider) : -1;
}

int64_t kelmtlWaveMixer::getOOB(const kelmtlInOutPipe* provider)
{
    kelLock lock(&f_sourceGuard, true, kDataDeviceTimeout);
    const intptr_t place = lock ? deviceIndexOf(indexOf(provider)) : -1;
    kelWaveMixerDevice* device = mixer();
    return place >= 0 && device ? device->getOOB(size_t(place)) : 0;
}

uintptr_t kelmtlWaveMixer::getSVolume(const kelmtlInOutPipe* provider)
{
    kelLock lock(&f_sourceGuard, true, kDataDeviceTimeout);
    const intptr_t place = lock ? deviceIndexOf(indexOf(provider)) : -1;
    kelWaveMixerDevice* device = mixer();
    return place >= 0 && device ? device->getSVolume(size_t(place)) : 0;
}

void kelmtlWaveMixer::setAddSilence(bool value)
{
    kelmtlInOutWavePipe::setAddSilence(value);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (auto* m = dynamic_cast<kelWaveMixerDevice*>(device)) m->setAutoAddSilence(value);
        return 0;
    });
}
