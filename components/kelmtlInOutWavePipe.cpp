#include "components/kelmtlInOutWavePipe.h"

#include "audio/kelWaveDevice.h"
#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelMsAcm.h"
#include "components/kelProcessAcm.h"
#include "components/kelWaveFormatBlock.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "core/kelMemoryStream.h"

#include <cstring>

namespace {

// Opens or closes `pipe` around a change when it was active.
class kelReopenAround
{
public:
    kelReopenAround(kelmtlInOutPipe& pipe, bool wasActive) : f_pipe(pipe), f_wasActive(wasActive)
    {
        if (f_wasActive) f_pipe.close();
    }
    ~kelReopenAround()
    {
        if (f_wasActive) (void)f_pipe.open();
    }
    kelReopenAround(const kelReopenAround&) = delete;
    kelReopenAround& operator=(const kelReopenAround&) = delete;

private:
    kelmtlInOutPipe& f_pipe;
    bool f_wasActive;
};
} // namespace

kelmtlInOutWavePipe::kelmtlInOutWavePipe(kelComponent* owner)
    : kelmtlInOutPipe(owner), f_loaded(!(owner && owner->loading()))
{}

kelmtlInOutWavePipe::~kelmtlInOutWavePipe() = default;

void kelmtlInOutWavePipe::afterConstruction()
{
    kelmtlInOutPipe::afterConstruction();
    resetDefaults();
    setFormatTag(kelWaveFormatTagPCM);
    setPcm_channelMask(kelChannelMaskDefault);
}

void kelmtlInOutWavePipe::loaded()
{
    f_loaded.store(true);
    // The loaded property values apply to a new device.
    createDevice();
    kelmtlInOutPipe::loaded();
}

void kelmtlInOutWavePipe::beforeDestruction()
{
    close(kActivateTimeout);
    destroyDevice();
    // A driver loaded for this component goes with it.
    assignDriver(nullptr, false);
    kelmtlInOutPipe::beforeDestruction();
}

void kelmtlInOutWavePipe::resetDefaults()
{
    f_deviceId.store(-1);
    f_realTime.store(false);
    f_sdo.store(true);
    f_iNeedDriver.store(false);
    f_driverMode.store(kelcdm_acm);
    {
        std::lock_guard<std::mutex> guard(f_propertyGuard);
        f_driverLibrary.clear();
    }
    f_mapped.store(false);
    f_direct.store(false);
    f_overNum.store(kDefaultOverNum);
    f_loop.store(false);
    f_inputIsPcm.store(true);
    f_addSilence.store(false);
    f_calcVolume.store(false);
    f_sdmCache.store(kelsdm_none);
    f_applyFormatTagImmunable.store(false);
    f_needApplyFormatOnCreate.store(true);
}

// --- device -------------------------------------------------------------------

void kelmtlInOutWavePipe::createDevice()
{
    const bool wasActive = active();
    kelReopenAround reopen(*this, wasActive);
    kelMsAcm* acmObject = f_acm2.load();
    requestAcm(1, acmObject);
    f_acm2.store(acmObject);
    {
        std::lock_guard<std::mutex> guard(f_formatGuard);
        if (f_formatExt.empty()) (void)kelDefaultPcmRecord(f_formatExt);
    }
    destroyDevice();
    createDriver();
    createNewDevice();
    kelMsAcmStreamDevice* device = f_device.load();
    if (!device) return;
    device->setCalcVolume(f_calcVolume.load() || device->calcVolume());
    device->setOnDataAvailable(
        [this](kelMsAcmStreamDevice*, void* data, uintptr_t size) { deviceData(data, size); });
    device->setSilenceDetectionMode(f_sdmCache.load());
    if (f_needApplyFormatOnCreate.load()) (void)applyDeviceFormat(copyFormatRecord(), f_inputIsPcm.load());
    if (consumerCount() > 0) (void)device->assignStream(false, nullptr, false);
    f_deviceWasCreated.store(true);
}

void kelmtlInOutWavePipe::createDriver()
{
    if (!f_iNeedDriver.load()) return;
    kelMsAcm* acmObject = f_acm2.load();
    switch (f_driverMode.load()) {
    case kelcdm_acm: {
        kelMsAcmDriver* found = nullptr;
        if (acmObject) {
            kelEnumerateAcmDriversOnce(acmObject);
            found = acmObject->getDriverByFormatTag(static_cast<uint32_t>(f_formatTag.load()));
        }
        assignDriver(found, false);
        return;
    }
    case kelcdm_installable: {
        const std::string library = driverLibrary();
        // An empty name would make the loader open the program itself.
        if (!acmObject || library.empty()) {
            assignDriver(nullptr, false);
            return;
        }
        kelMsAcmDriver* loaded = acmObject->openDriver(utf8ToUtf16(library));
        assignDriver(loaded, loaded != nullptr);
        return;
    }
    default:
        assignDriver(nullptr, false);
        return;
    }
}

void kelmtlInOutWavePipe::createNewDevice()
{
    kelMsAcmStreamDevice* device = f_device.load();
    if (!device) return;
    device->setMinVolumeLevel(f_minVolume.load());
    device->setMinActiveTime(f_minActiveTime.load());
    std::lock_guard<std::mutex> guard(f_propertyGuard);
    device->setOnThreshold(f_onThreshold);
}

void kelmtlInOutWavePipe::installDevice(kelMsAcmStreamDevice* device)
{
    if (device) device->setClock(f_clock.get());
    if (!f_deviceGuard.acquire(false, kReplaceDeviceTimeout)) {
        // Never leak a device: without the guard nobody can be using it yet.
        kelFree(device);
        return;
    }
    kelMsAcmStreamDevice* old = f_device.exchange(device);
    f_deviceGuard.releaseWO();
    kelFree(old);
}

void kelmtlInOutWavePipe::destroyDevice()
{
    freeDevice();
    f_deviceWasCreated.store(false);
}

void kelmtlInOutWavePipe::freeDevice()
{
    kelMsAcmStreamDevice* device = f_device.load();
    if (!device) return;
    // Closed before it leaves, so no chunk is on its way to this component
    // while the guard is held for writing.
    (void)device->close(kDeviceCloseTimeout);
    if (!f_deviceGuard.acquire(false, kReplaceDeviceTimeout)) {
        // A data thread holds it beyond every reasonable time: keep the
        // device rather than free it under that thread.
        return;
    }
    device = f_device.exchange(nullptr);
    f_deviceGuard.releaseWO();
    kelFree(device);
}

bool kelmtlInOutWavePipe::applyDeviceFormat(const kelFormatBlock& format, bool isSrc)
{
    const WAVEFORMATEXTENSIBLE* record = format.formatExt();
    if (!record) return false;
    return withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* device) {
        if (!device) return false;
        if (auto* wave = dynamic_cast<kelWaveDevice*>(device)) return wave->setSamplingExt(isSrc, record);
        return device->setFormatExt(isSrc, record);
    });
}

void kelmtlInOutWavePipe::requestAcm(intptr_t req, kelMsAcm*& acmObject)
{
    tkelOnAcmReq handler;
    {
        std::lock_guard<std::mutex> guard(f_propertyGuard);
        handler = f_onAcmReq;
    }
    if (!handler) {
        if (req == 1 && f_loaded.load()) acmObject = kelProcessAcm();
        return;
    }
    try {
        handler(this, req, acmObject);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutWavePipe::onAcmReq");
    }
}

bool kelmtlInOutWavePipe::compressedOutputRecord(kelFormatBlock& /*record*/)
{
    return false;
}

bool kelmtlInOutWavePipe::flush()
{
    return withDevice(kReplaceDeviceTimeout, false,
                      [](kelMsAcmStreamDevice* device) { return device && device->flush(true); });
}

uintptr_t kelmtlInOutWavePipe::getChunkSize()
{
    return withDevice(kDataDeviceTimeout, uintptr_t{0},
                      [](kelMsAcmStreamDevice* device) { return device ? device->chunkSize() : 0; });
}

uintptr_t kelmtlInOutWavePipe::getDstChunkSize()
{
    return getChunkSize();
}

void kelmtlInOutWavePipe::driverChanged() {}

kelString kelmtlInOutWavePipe::waveErrorAsString()
{
    const auto code = static_cast<uint32_t>(f_waveError.load());
    return withDevice(kDataDeviceTimeout, kelString{}, [code](kelMsAcmStreamDevice* device) {
        return device ? device->getErrorText(code) : kelString{};
    });
}

// --- data ------------------------------------------------------------------------

void kelmtlInOutWavePipe::deviceData(void* data, uintptr_t size)
{
    if (!enableDataProcessing() || size == 0 || size > UINT32_MAX) return;
    (void)onNewData(data, static_cast<uint32_t>(size), this);
}

uint32_t kelmtlInOutWavePipe::doWrite(const void* data, uint32_t len, kelmtlInOutPipe* /*provider*/)
{
    return withDevice(kDataDeviceTimeout, uint32_t{0}, [&](kelMsAcmStreamDevice* device) -> uint32_t {
        if (!device) return 0;
        if (enableDataProcessing()) return static_cast<uint32_t>(device->write(data, len));
        // Passed on unchanged. The block is the provider's own writable chunk
        // (onNewData hands every consumer the same pointer).
        (void)onNewData(const_cast<void*>(data), len, this);
        return len;
    });
}

uint32_t kelmtlInOutWavePipe::doRead(void* data, uint32_t len)
{
    return withDevice(kDataDeviceTimeout, uint32_t{0}, [&](kelMsAcmStreamDevice* device) -> uint32_t {
        return device ? static_cast<uint32_t>(device->read(data, len)) : 0;
    });
}

uint32_t kelmtlInOutWavePipe::getAvailableDataLen(int index)
{
    return withDevice(kDataDeviceTimeout, uint32_t{0}, [index](kelMsAcmStreamDevice* device) -> uint32_t {
        if (!device) return 0;
        const uintptr_t bytes = device->getDataAvailable(index == 0);
        return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
    });
}

int64_t kelmtlInOutWavePipe::doGetPosition()
{
    return withDevice(kDataDeviceTimeout, int64_t{-1}, [](kelMsAcmStreamDevice* device) -> int64_t {
        return device ? static_cast<int64_t>(device->getPosition()) : -1;
    });
}

// --- activation ------------------------------------------------------------------

bool kelmtlInOutWavePipe::doOpen()
{
    if (!kelmtlInOutPipe::doOpen()) return false;
    if (!f_deviceWasCreated.load()) createDevice();
    return withDevice(kReplaceDeviceTimeout, false, [this](kelMsAcmStreamDevice* device) {
        if (!device) return false;
        const uint32_t result = device->open(false, kDeviceOpenTimeout, 0, f_sdo.load());
        f_waveError.store(result);
        return result == 0;
    });
}

void kelmtlInOutWavePipe::doClose()
{
    (void)withDevice(kReplaceDeviceTimeout, 0, [](kelMsAcmStreamDevice* device) {
        if (device) (void)device->close(kDeviceCloseTimeout);
        return 0;
    });
    kelmtlInOutPipe::doClose();
}

bool kelmtlInOutWavePipe::isActive()
{
    return withDevice(kDataDeviceTimeout, false, [](kelMsAcmStreamDevice* device) {
        return device && device->isOpen() && !device->closing();
    });
}

// --- links -----------------------------------------------------------------------

bool kelmtlInOutWavePipe::doAddProvider(kelmtlInOutPipe* provider)
{
    const bool added = kelmtlInOutPipe::doAddProvider(provider);
    // A wave provider's chunks now leave only through the pipe.
    if (auto* wave = dynamic_cast<kelmtlInOutWavePipe*>(provider)) {
        (void)wave->withDevice(kReplaceDeviceTimeout, 0, [](kelMsAcmStreamDevice* device) {
            if (device) (void)device->assignStream(false, nullptr, false);
            return 0;
        });
    }
    return added;
}

void kelmtlInOutWavePipe::doRemoveProvider(kelmtlInOutPipe* provider)
{
    kelmtlInOutPipe::doRemoveProvider(provider);
    // Without this consumer the provider keeps its chunks for reading again.
    if (auto* wave = dynamic_cast<kelmtlInOutWavePipe*>(provider)) {
        (void)wave->withDevice(kReplaceDeviceTimeout, 0, [](kelMsAcmStreamDevice* device) {
            if (device) (void)device->assignStream(kelStreamClassOf<kelMemoryStream>(), false, true);
            return 0;
        });
    }
}

bool kelmtlInOutWavePipe::doAddConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat)
{
    const bool added = kelmtlInOutPipe::doAddConsumer(consumer, forceNewFormat);
    if (added) {
        (void)withDevice(kReplaceDeviceTimeout, 0, [](kelMsAcmStreamDevice* device) {
            if (device) (void)device->assignStream(false, nullptr, false);
            return 0;
        });
    }
    return added;
}

// --- format ----------------------------------------------------------------------

kelFormatBlock kelmtlInOutWavePipe::copyFormatRecord() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    kelFormatBlock copy;
    if (copy.resize(f_formatExt.size()) && f_formatExt.size() != 0)
        std::memcpy(copy.data(), f_formatExt.data(), f_formatExt.size());
    return copy;
}

void kelmtlInOutWavePipe::storeFormatRecord(kelFormatBlock&& record)
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    f_formatExt = std::move(record);
}

std::vector<uint8_t> kelmtlInOutWavePipe::pcmFormatExt() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return std::vector<uint8_t>(f_formatExt.data(), f_formatExt.data() + f_formatExt.size());
}

bool kelmtlInOutWavePipe::plainFormatRecord(kelFormatBlock& plain) const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return formatExtToFormat(f_formatExt.format(), f_formatExt.size(), plain, true);
}

uint32_t kelmtlInOutWavePipe::pcm_samplesPerSec() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return kelPcmValuesOf(f_formatExt).samplesPerSec;
}

uint32_t kelmtlInOutWavePipe::pcm_bitsPerSample() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return kelPcmValuesOf(f_formatExt).bitsPerSample;
}

uint32_t kelmtlInOutWavePipe::pcm_numChannels() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return kelPcmValuesOf(f_formatExt).numChannels;
}

uint32_t kelmtlInOutWavePipe::pcm_channelMask() const
{
    std::lock_guard<std::mutex> guard(f_formatGuard);
    return kelPcmValuesOf(f_formatExt).channelMask;
}

void kelmtlInOutWavePipe::setPcmByIndex(int index, uintptr_t value)
{
    if (!kelPcmValueFits(index, value)) return;
    {
        std::lock_guard<std::mutex> guard(f_formatGuard);
        if (kelPcmRecordHolds(f_formatExt, index, value, f_pcmChannelMaskIsNotDefault.load())) return;
    }
    kelReopenAround reopen(*this, active());
    bool keepMask = f_pcmChannelMaskIsNotDefault.load();
    if (index == kelPcmChannelMask) {
        // The marker hands the mask back to the channel count; any other
        // mask is kept from now on.
        keepMask = value != kelChannelMaskDefault;
        f_pcmChannelMaskIsNotDefault.store(keepMask);
    }
    {
        std::lock_guard<std::mutex> guard(f_formatGuard);
        if (!kelRebuildPcmRecord(f_formatExt, index, value, keepMask)) return;
    }
    (void)applyDeviceFormat(copyFormatRecord(), f_inputIsPcm.load());
}

void kelmtlInOutWavePipe::reapplyFormat()
{
    kelReopenAround reopen(*this, active());
    (void)applyDeviceFormat(copyFormatRecord(), f_inputIsPcm.load());
}

void kelmtlInOutWavePipe::setPcmFormatExt(const WAVEFORMATEX* format, size_t formatSize)
{
    if (!format || formatSize < sizeof(WAVEFORMATEX)) return;
    kelFormatBlock given;
    if (!formatToFormatExt(given, format, formatSize)) return;
    kelReopenAround reopen(*this, active());
    (void)applyDeviceFormat(given, f_inputIsPcm.load());
    if (formatIsPCM(format, formatSize)) {
        storeFormatRecord(std::move(given));
        return;
    }
    // Another format: the record takes its sampling, the tag its tag.
    kelWaveFormat values = kelWaveFormatOfRecord(format->wFormatTag, given);
    kelFormatBlock record;
    if (kelFillPcmRecord(record, values)) storeFormatRecord(std::move(record));
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) f_formatTag.store(format->wFormatTag);
}

void kelmtlInOutWavePipe::setFormatTag(uintptr_t value)
{
    if (value == f_formatTag.load() && f_driverMode.load() == kelcdm_acm) return;
    f_formatTag.store(value);
    if (!f_deviceWasCreated.load())
        createDevice();
    else
        createDriver();
    reapplyFormat();
}

uint32_t kelmtlInOutWavePipe::getFormatExchangeData(std::vector<uint8_t>& data)
{
    const kelWaveFormat block = kelWaveFormatOfRecord(f_formatTag.load(), copyFormatRecord());
    return kelWriteWaveFormatBlock(block, data);
}

bool kelmtlInOutWavePipe::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                      bool restoreActiveState)
{
    if (!fireFormatChangeBefore(provider, data, len)) return false;
    kelWaveFormatBlockContent content;
    if (!kelReadWaveFormatBlock(data, len, content)) return false;
    kelFormatBlock record;
    if (!kelFillPcmRecord(record, content.format)) return false;
    const bool takeTag = !f_applyFormatTagImmunable.load() && content.format.formatTag != f_formatTag.load();
    const bool takeDriver = content.hasDriver && (content.driverMode != f_driverMode.load() ||
                                                  content.driverLibrary != driverLibrary());
    bool accepted = true;
    // Only a change reaches the device: a block that restates the current
    // format leaves an open component open.
    bool changed = takeTag || takeDriver;
    {
        std::lock_guard<std::mutex> guard(f_formatGuard);
        changed = changed || !kelSamePcmValues(record, f_formatExt);
    }
    if (changed) {
        kelReopenAround reopen(*this, active() && restoreActiveState);
        if (!restoreActiveState) close();
        if (takeDriver) {
            f_driverMode.store(content.driverMode);
            std::lock_guard<std::mutex> guard(f_propertyGuard);
            f_driverLibrary = content.driverLibrary;
        }
        if (takeTag) f_formatTag.store(content.format.formatTag);
        storeFormatRecord(std::move(record));
        accepted = applyDeviceFormat(copyFormatRecord(), f_inputIsPcm.load());
    }
    if (accepted) (void)checkFormatChange(restoreActiveState);
    fireFormatChangeAfter(provider, data, len);
    return accepted;
}

// --- properties ------------------------------------------------------------------

void kelmtlInOutWavePipe::setDeviceId(intptr_t value)
{
    if (f_deviceId.exchange(value) == value) return;
    if (f_device.load()) createDevice();
}

void kelmtlInOutWavePipe::setRealTime(bool value)
{
    if (f_realTime.exchange(value) == value) return;
    close();
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) device->setRealTime(value);
        return 0;
    });
}

void kelmtlInOutWavePipe::setOverNum(uintptr_t value)
{
    f_overNum.store(value);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) {
            device->setOverNumIn(value);
            device->setOverNumOut(value);
        }
        return 0;
    });
}

void kelmtlInOutWavePipe::setCalcVolume(bool value)
{
    f_calcVolume.store(value);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) device->setCalcVolume(value);
        return 0;
    });
}

void kelmtlInOutWavePipe::setMinVolumeLevel(uintptr_t value)
{
    f_minVolume.store(value);
    setCalcVolume(true);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) device->setMinVolumeLevel(value);
        return 0;
    });
}

void kelmtlInOutWavePipe::setMinActiveTime(uintptr_t value)
{
    f_minActiveTime.store(value);
    setCalcVolume(true);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) device->setMinActiveTime(value);
        return 0;
    });
}

void kelmtlInOutWavePipe::setSilenceDetectionMode(kelWaveInSDMethods value)
{
    const kelWaveInSDMethods previous = f_sdmCache.exchange(value);
    if (f_calcVolume.load() && previous == kelsdm_MT) {
        if (value == kelsdm_DSP) setCalcVolume(false);
    } else if (value == kelsdm_MT) {
        setCalcVolume(true);
    }
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* device) {
        if (device) device->setSilenceDetectionMode(value);
        return 0;
    });
}

void kelmtlInOutWavePipe::setOnThreshold(kelWaveOnThresholdEvent handler)
{
    {
        std::lock_guard<std::mutex> guard(f_propertyGuard);
        f_onThreshold = handler;
    }
    (void)withDevice(kReplaceDeviceTimeout, 0, [&handler](kelMsAcmStreamDevice* device) {
        if (device) device->setOnThreshold(handler);
        return 0;
    });
}

void kelmtlInOutWavePipe::setLoop(bool value)
{
    f_loop.store(value);
}

void kelmtlInOutWavePipe::setAddSilence(bool value)
{
    f_addSilence.store(value);
}

void kelmtlInOutWavePipe::setDriverMode(kelAcmCodecDriverMode value)
{
    if (f_driverMode.exchange(value) != value) createDriver();
}

std::string kelmtlInOutWavePipe::driverLibrary() const
{
    std::lock_guard<std::mutex> guard(f_propertyGuard);
    return f_driverLibrary;
}

void kelmtlInOutWavePipe::setDriverLibrary(const std::string& value)
{
    {
        std::lock_guard<std::mutex> guard(f_propertyGuard);
        if (f_driverLibrary == value) return;
        f_driverLibrary = value;
    }
    createDriver();
}

void kelmtlInOutWavePipe::setDriver(kelMsAcmDriver* value)
{
    assignDriver(value, false);
}

void kelmtlInOutWavePipe::assignDriver(kelMsAcmDriver* value, bool loadedHere)
{
    kelMsAcmDriver* old = f_driver.load();
    if (old == value) return;
    const bool unloadOld = f_needToUnloadDriver.exchange(loadedHere);
    f_driver.store(value);
    // The device lets go of the old driver before it is closed.
    driverChanged();
    if (unloadOld && old) {
        if (kelMsAcm* owner = old->acm()) (void)owner->closeDriver(old);
    }
}

void kelmtlInOutWavePipe::setOnAcmReq(tkelOnAcmReq handler)
{
    std::lock_guard<std::mutex> guard(f_propertyGuard);
    f_onAcmReq = std::move(handler);
}

void kelmtlInOutWavePipe::setClock(const kelClock& clock)
{
    f_clock.set(clock);
    (void)withDevice(kReplaceDeviceTimeout, 0, [&clock](kelMsAcmStreamDevice* device) {
        if (device) device->setClock(clock);
        return 0;
    });
}
