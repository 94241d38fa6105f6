#include "components/kelmtlWaveCodecDevice.h"

#include "audio/kelWaveFormatRoutines.h"
#include "codecs/kelOpenH323PluginAPI.h"
#include "components/kelWaveFormatBlock.h"
#include "components/kelWavePcmRecord.h"
#include "core/kelCreate.h"
#include "core/kelUtf.h"

namespace {

// Without a selected plug-in codec the record is narrow-band speech.
constexpr uint32_t kPluginDefaultRate = 8000;
constexpr uint32_t kPluginChannelMask = 4; // front centre

// Closes an active component for a change and opens it again afterwards.
class kelCodecReopen
{
public:
    explicit kelCodecReopen(kelmtlInOutPipe& pipe) : f_pipe(pipe), f_wasActive(pipe.active())
    {
        if (f_wasActive) f_pipe.close();
    }
    ~kelCodecReopen()
    {
        if (f_wasActive) (void)f_pipe.open();
    }
    kelCodecReopen(const kelCodecReopen&) = delete;
    kelCodecReopen& operator=(const kelCodecReopen&) = delete;

private:
    kelmtlInOutPipe& f_pipe;
    bool f_wasActive;
};

} // namespace

kelmtlWaveCodecDevice::kelmtlWaveCodecDevice(kelComponent* owner) : kelmtlInOutWavePipe(owner) {}

kelmtlWaveCodecDevice::~kelmtlWaveCodecDevice() = default;

void kelmtlWaveCodecDevice::afterConstruction()
{
    kelmtlInOutWavePipe::afterConstruction();
    setIsFormatProvider(true);
}

void kelmtlWaveCodecDevice::resetDefaults()
{
    kelmtlInOutWavePipe::resetDefaults();
    setFormatTagImmunable(true);
    setNeedDriver(true);
}

kelMsAcmCodec* kelmtlWaveCodecDevice::codec() const noexcept
{
    return dynamic_cast<kelMsAcmCodec*>(device());
}

void kelmtlWaveCodecDevice::createNewDevice()
{
    installDevice(kelCreate<kelMsAcmCodec>(driver(), false, overNum(), realTime(), driverMode()));
    kelmtlInOutWavePipe::createNewDevice();
    const kelString library = utf8ToUtf16(driverLibrary());
    // An empty name would make the plug-in loader open the program itself.
    if (library.empty()) return;
    (void)withDevice(kReplaceDeviceTimeout, 0, [&library](kelMsAcmStreamDevice* device) {
        if (auto* c = dynamic_cast<kelMsAcmCodec*>(device)) c->setDriverLibrary(library);
        return 0;
    });
}

void kelmtlWaveCodecDevice::driverChanged()
{
    kelCodecReopen reopen(*this);
    const bool plugin = driverMode() == kelcdm_openH323plugin;
    const kelString library = utf8ToUtf16(driverLibrary());
    kelMsAcmDriver* selected = driver();
    (void)withDevice(kReplaceDeviceTimeout, 0, [&](kelMsAcmStreamDevice* device) {
        auto* c = dynamic_cast<kelMsAcmCodec*>(device);
        if (!c) return 0;
        if (!plugin)
            c->setDriver(selected);
        else if (!library.empty())
            c->setDriverLibrary(library);
        return 0;
    });
}

void kelmtlWaveCodecDevice::setDriverMode(kelAcmCodecDriverMode value)
{
    if (value == driverMode()) return;
    kelmtlInOutWavePipe::setDriverMode(value);
    // Another back end: a codec made for it, with the format applied anew.
    if (deviceWasCreated()) createDevice();
}

void kelmtlWaveCodecDevice::setDriverLibrary(const std::string& value)
{
    if (value == driverLibrary()) return;
    kelmtlInOutWavePipe::setDriverLibrary(value);
    if (!deviceWasCreated() || driverMode() != kelcdm_openH323plugin) return;
    if (value.empty()) {
        // No plug-in any more: a codec without one.
        createDevice();
        return;
    }
    kelCodecReopen reopen(*this);
    driverChanged();
    reapplyFormat();
}

bool kelmtlWaveCodecDevice::applyDeviceFormat(const kelFormatBlock& format, bool isSrc)
{
    const WAVEFORMATEX* record = format.format();
    if (!record || !codec()) return false;
    const bool pcmIn = inputIsPcm();
    if (isSrc != pcmIn && record->wFormatTag != WAVE_FORMAT_EXTENSIBLE) takeTag(record->wFormatTag);
    if (!formatIsPCM(record, format.size())) return setNonPCMFormat(record, format.size());
    const auto tag = static_cast<uint32_t>(formatTag());
    const bool accepted = withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* device) {
        auto* c = dynamic_cast<kelMsAcmCodec*>(device);
        return c && c->setPcmFormatSuggest(pcmIn, record->nSamplesPerSec, record->wBitsPerSample,
                                           record->nChannels, tag);
    });
    if (accepted) takePcmSide();
    if (driverMode() == kelcdm_openH323plugin) takePluginRecord();
    return accepted;
}

bool kelmtlWaveCodecDevice::setNonPCMFormat(const WAVEFORMATEX* format, size_t formatSize)
{
    if (!format) return false;
    if (formatSize == 0) formatSize = sizeof(WAVEFORMATEX) + format->cbSize;
    if (formatSize < sizeof(WAVEFORMATEX)) return false;
    if (!codec()) createDevice();
    kelFormatBlock plain;
    if (!codec() || !formatExtToFormat(format, formatSize, plain, true) || !plain.format()) return false;
    kelCodecReopen reopen(*this);
    takeTag(plain.format()->wFormatTag);
    const bool pcmIn = inputIsPcm();
    const bool accepted = withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* device) {
        auto* c = dynamic_cast<kelMsAcmCodec*>(device);
        return c && c->setFormatSuggest(pcmIn, plain.format(), plain.size());
    });
    if (accepted) takePcmSide();
    if (driverMode() == kelcdm_openH323plugin) takePluginRecord();
    return accepted;
}

void kelmtlWaveCodecDevice::takeTag(uintptr_t tag)
{
    if (tag == formatTag()) return;
    setFormatTagValue(tag);
    // Another tag may need another registry driver.
    createDriver();
}

void kelmtlWaveCodecDevice::takePcmSide()
{
    const bool pcmIn = inputIsPcm();
    kelFormatBlock copy;
    const bool copied = withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* device) {
        if (!device) return false;
        const kelFormatBlock& side = pcmIn ? device->srcFormatBlock() : device->dstFormatBlock();
        return !side.empty() && duplicateFormat(side.format(), side.size(), copy, side.size()) != 0;
    });
    if (copied) storeFormatRecord(std::move(copy));
}

void kelmtlWaveCodecDevice::takePluginRecord()
{
    const uint32_t rate =
        withDevice(kReplaceDeviceTimeout, kPluginDefaultRate, [](kelMsAcmStreamDevice* device) {
            auto* c = dynamic_cast<kelMsAcmCodec*>(device);
            const PluginCodec_Definition* selected = c ? c->getoH323pluginDesc(-1) : nullptr;
            return selected && selected->sampleRate != 0 ? uint32_t(selected->sampleRate)
                                                         : kPluginDefaultRate;
        });
    kelFormatBlock record;
    if (fillFormatExtPCM(record, rate, 0, 16, 1, kPluginChannelMask)) storeFormatRecord(std::move(record));
}

bool kelmtlWaveCodecDevice::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                        bool restoreActiveState)
{
    const kelAcmCodecDriverMode mode = driverMode();
    const std::string library = driverLibrary();
    const bool accepted = kelmtlInOutWavePipe::applyFormat(data, len, provider, restoreActiveState);
    if (accepted && deviceWasCreated() && (mode != driverMode() || library != driverLibrary())) {
        createDevice();
        (void)checkFormatChange(restoreActiveState);
    }
    return accepted;
}

uintptr_t kelmtlWaveCodecDevice::getDstChunkSize()
{
    return withDevice(kDataDeviceTimeout, uintptr_t{0},
                      [](kelMsAcmStreamDevice* device) { return device ? device->dstChunkSize() : 0; });
}

uint32_t kelmtlWaveCodecDevice::getFormatExchangeData(std::vector<uint8_t>& data)
{
    const kelWaveFormat block = kelWaveFormatOfRecord(formatTag(), copyFormatRecord());
    return kelWriteCodecFormatBlock(block, driverMode(), driverLibrary(), data);
}

bool kelmtlWaveCodecDevice::compressedOutputRecord(kelFormatBlock& record)
{
    if (!inputIsPcm()) return false;
    return withDevice(kReplaceDeviceTimeout, false, [&record](kelMsAcmStreamDevice* device) {
        if (!device) return false;
        const kelFormatBlock& side = device->dstFormatBlock();
        if (side.empty() || formatIsPCM(side.format(), side.size())) return false;
        return formatExtToFormat(side.format(), side.size(), record, true);
    });
}
