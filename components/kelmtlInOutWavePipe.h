#pragma once
// kelmtlInOutWavePipe: the common base of the wave pipe components. It puts
// one audio stream device into the pipe model: it owns the device, keeps the
// component's PCM format as an extensible record, creates the device again
// when a property that the device is built from changes, hands the device's
// chunks to the pipe's consumers, takes format blocks from providers and
// offers its own (components/kelWaveFormatBlock.h).
//
// Make and free components with kelCreate / kelFree: the device is created
// in afterConstruction() (and again once a component finished loading) and
// destroyed in beforeDestruction().
//
// Threads. Properties are set, and the component opened, closed and linked,
// on the owner's thread (the window thread). write() comes from the
// provider's thread; the device's chunks reach the consumers on the thread
// that produced them (the device thread or the platform's wave callback).
// The format getters may be read from any thread. A device call from a data
// thread holds the device only for the call: a device that is being
// replaced refuses it (write() then takes 0 bytes) instead of waiting.
//
// Time: the component hands its clock (setClock) to every device it creates.
//
// Codec drivers. Every device creation asks for the ACM registry
// (requestAcm: onAcmReq when assigned, else the process-wide one of
// kelProcessAcm.h). A component that needs a driver (the codec and WAV
// components) selects one in createDriver: in registry mode the registry's
// driver for formatTag, in installable mode a driver loaded from
// driverLibrary (closed again when it is replaced or the component goes),
// in the other modes none.

#include "audio/kelFormatBlock.h"
#include "audio/kelMsAcmStreamDevice.h"
#include "components/kelWaveDriverTypes.h"
#include "components/kelWavePcmRecord.h"
#include "core/kelClock.h"
#include "core/kelObject.h"
#include "pipes/kelmtlInOutPipe.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class kelmtlInOutWavePipe : public kelmtlInOutPipe
{
public:
    // Timeouts, in ms.
    static constexpr intptr_t kDeviceOpenTimeout = 2000;
    static constexpr intptr_t kDeviceCloseTimeout = 10012;
    // How long a data thread waits for a device that is being replaced.
    static constexpr intptr_t kDataDeviceTimeout = 20;
    static constexpr intptr_t kReplaceDeviceTimeout = 3000;
    static constexpr uintptr_t kDefaultOverNum = 6;

    explicit kelmtlInOutWavePipe(kelComponent* owner = nullptr);
    ~kelmtlInOutWavePipe() override;

    // (Re)creates the device from the current properties. An active
    // component is closed around it and opened again. Owner's thread.
    void createDevice();
    // (Re)selects the codec driver of a component that needs one (see the
    // top). Owner's thread.
    void createDriver();
    // The device's flush with waiting (a playback device queues overNum
    // chunks of silence). False without a device.
    bool flush();

    // --- format --------------------------------------------------------------
    // Read the format record (44100, 16, 2 and 3 when there is none). Any thread.
    uint32_t pcm_samplesPerSec() const;
    uint32_t pcm_bitsPerSample() const;
    uint32_t pcm_numChannels() const;
    uint32_t pcm_channelMask() const;
    void setPcm_samplesPerSec(uintptr_t value) { setPcmByIndex(kelPcmSamplesPerSec, value); }
    void setPcm_bitsPerSample(uintptr_t value) { setPcmByIndex(kelPcmBitsPerSample, value); }
    void setPcm_numChannels(uintptr_t value) { setPcmByIndex(kelPcmNumChannels, value); }
    // kelChannelMaskDefault makes the mask follow the channel count.
    void setPcm_channelMask(uintptr_t value) { setPcmByIndex(kelPcmChannelMask, value); }
    // Sets one of the four values (kelPcmIndex). A value the record already
    // holds changes nothing; a value that cannot stand in a record (a rate,
    // bits or channel count of 0, more than 32 bits of rate or mask) is
    // ignored. Otherwise an active component is closed, the record rebuilt
    // and given to the device, and the component opened again.
    virtual void setPcmByIndex(int index, uintptr_t value);
    // A copy of the format record (empty when there is none).
    std::vector<uint8_t> pcmFormatExt() const;
    // Gives `format` to the device; a PCM record becomes the format record,
    // any other sets the rate, bits, channels and mask from it (and the tag
    // when it is not extensible). Ignored when shorter than its header.
    virtual void setPcmFormatExt(const WAVEFORMATEX* format, size_t formatSize);
    uintptr_t formatTag() const noexcept { return f_formatTag.load(); }
    virtual void setFormatTag(uintptr_t value);
    bool formatTagImmunable() const noexcept { return f_applyFormatTagImmunable.load(); }
    void setFormatTagImmunable(bool value) noexcept { f_applyFormatTagImmunable.store(value); }
    bool inputIsPcm() const noexcept { return f_inputIsPcm.load(); }
    void setInputIsPcm(bool value) noexcept { f_inputIsPcm.store(value); }

    // --- device ---------------------------------------------------------------
    kelMsAcmStreamDevice* device() const noexcept { return f_device.load(); }
    intptr_t deviceId() const noexcept { return f_deviceId.load(); }
    // A change re-creates an existing device.
    virtual void setDeviceId(intptr_t value);
    bool mapped() const noexcept { return f_mapped.load(); }
    void setMapped(bool value) noexcept { f_mapped.store(value); }
    bool direct() const noexcept { return f_direct.load(); }
    void setDirect(bool value) noexcept { f_direct.store(value); }
    bool realTime() const noexcept { return f_realTime.load(); }
    // A change closes the component; the device follows.
    void setRealTime(bool value);
    bool startDeviceOnOpen() const noexcept { return f_sdo.load(); }
    void setStartDeviceOnOpen(bool value) noexcept { f_sdo.store(value); }
    uintptr_t overNum() const noexcept { return f_overNum.load(); }
    // The device's overNumIn and overNumOut follow.
    void setOverNum(uintptr_t value);
    uintptr_t chunkSize() { return getChunkSize(); }
    uintptr_t dstChunkSize() { return getDstChunkSize(); }
    // Result code of the last device open, and the device's text for it.
    intptr_t waveError() const noexcept { return f_waveError.load(); }
    kelString waveErrorAsString();

    // --- volume and silence -----------------------------------------------------
    bool calcVolume() const noexcept { return f_calcVolume.load(); }
    void setCalcVolume(bool value);
    uintptr_t minVolumeLevel() const noexcept { return f_minVolume.load(); }
    // Also switches calcVolume on.
    void setMinVolumeLevel(uintptr_t value);
    uintptr_t minActiveTime() const noexcept { return f_minActiveTime.load(); }
    // Also switches calcVolume on.
    void setMinActiveTime(uintptr_t value);
    kelWaveInSDMethods silenceDetectionMode() const noexcept { return f_sdmCache.load(); }
    void setSilenceDetectionMode(kelWaveInSDMethods value);
    // Runs on the device's producing thread; see kelWaveOnThresholdEvent.
    void setOnThreshold(kelWaveOnThresholdEvent handler);

    // --- further properties --------------------------------------------------
    bool loop() const noexcept { return f_loop.load(); }
    virtual void setLoop(bool value);
    bool addSilence() const noexcept { return f_addSilence.load(); }
    virtual void setAddSilence(bool value);

    // --- codec driver -----------------------------------------------------------
    kelAcmCodecDriverMode driverMode() const noexcept { return f_driverMode.load(); }
    virtual void setDriverMode(kelAcmCodecDriverMode value);
    std::string driverLibrary() const;
    virtual void setDriverLibrary(const std::string& value);
    kelMsAcmDriver* driver() const noexcept { return f_driver.load(); }
    // Stores another driver: the old one is closed when this component
    // loaded it, then driverChanged runs. The new one is not closed later.
    virtual void setDriver(kelMsAcmDriver* value);
    void setOnAcmReq(tkelOnAcmReq handler);

    // --- time ------------------------------------------------------------------
    // The clock every device of this component is given; it must outlive
    // the component. Owner's thread.
    void setClock(const kelClock& clock);
    const kelClock& clock() const noexcept { return f_clock.get(); }

    // --- published pipe members -------------------------------------------------
    using kelmtlInOutPipe::enableDataProxy;
    using kelmtlInOutPipe::isFormatProvider;
    using kelmtlInOutPipe::onDataAvailable;
    using kelmtlInOutPipe::onDataDSP;
    using kelmtlInOutPipe::onFormatChangeAfter;
    using kelmtlInOutPipe::onFormatChangeBefore;
    using kelmtlInOutPipe::setEnableDataProxy;
    using kelmtlInOutPipe::setIsFormatProvider;
    using kelmtlInOutPipe::setOnDataAvailable;
    using kelmtlInOutPipe::setOnDataDSP;
    using kelmtlInOutPipe::setOnFormatChangeAfter;
    using kelmtlInOutPipe::setOnFormatChangeBefore;

    // A component whose output is compressed copies the record of that
    // format into `record`; false (the base) when its output is PCM or it
    // has none. A WAV writer after it writes the data as it comes. Owner's
    // thread.
    virtual bool compressedOutputRecord(kelFormatBlock& record);

    kelString _classID() const override { return u"kelmtlInOutWavePipe"; }

protected:
    // --- virtual operations, in the system's slot order --------------------------
    virtual uintptr_t getChunkSize();
    virtual uintptr_t getDstChunkSize();
    virtual void driverChanged();
    // The property defaults (not the format tag: construction sets it, which
    // creates the device). Subclasses change theirs after calling the base.
    virtual void resetDefaults();
    // Makes the component's device. A subclass builds its device, stores it
    // with installDevice() and calls the base, which applies the common
    // settings (volume level, active time, threshold handler).
    virtual void createNewDevice();
    // Closes and frees the device.
    virtual void destroyDevice();
    // Gives a format record to the device: the wave devices apply it to
    // their master side whatever `isSrc`. False when the device refused it
    // or there is none.
    virtual bool applyDeviceFormat(const kelFormatBlock& format, bool isSrc);
    // The ACM object for `req` 1: onAcmReq's answer when a handler is
    // assigned, otherwise (once the component has loaded) the process-wide
    // registry. Any thread.
    virtual void requestAcm(intptr_t req, kelMsAcm*& acm);

    // --- pipe hooks -----------------------------------------------------------------
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    uint32_t doRead(void* data, uint32_t len) override;
    uint32_t getAvailableDataLen(int index) override;
    bool doOpen() override;
    void doClose() override;
    bool isActive() override;
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;
    int64_t doGetPosition() override;
    bool doAddProvider(kelmtlInOutPipe* provider) override;
    void doRemoveProvider(kelmtlInOutPipe* provider) override;
    bool doAddConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat) override;

    // --- component model ----------------------------------------------------------
    void afterConstruction() override;
    void loaded() override;
    void beforeDestruction() override;

    // --- for subclasses ---------------------------------------------------------------
    // Stores a new device (the old one must have been destroyed) and gives it
    // the component's clock. Owner's thread.
    void installDevice(kelMsAcmStreamDevice* device);
    // The device's chunk handler: hands the chunk on when data processing is
    // on. Producing thread.
    void deviceData(void* data, uintptr_t size);
    // Runs `work` with the device held (null when there is none), or returns
    // `busy` when a replacement holds it beyond `timeout`.
    template <class Work, class Result> Result withDevice(intptr_t timeout, Result busy, Work&& work)
    {
        if (!f_deviceGuard.acquire(true, timeout)) return busy;
        struct Release
        {
            kelObject& guard;
            ~Release() { guard.releaseRO(); }
        } release{f_deviceGuard};
        return work(f_device.load());
    }
    // The record, under its guard.
    kelFormatBlock copyFormatRecord() const;
    void storeFormatRecord(kelFormatBlock&& record);
    // Gives the record to the device, closing and reopening an active
    // component around it.
    void reapplyFormat();
    // The plain form of the record (for devices that write files); false
    // when it does not convert.
    bool plainFormatRecord(kelFormatBlock& plain) const;
    bool deviceWasCreated() const noexcept { return f_deviceWasCreated.load(); }
    void setDeviceWasCreated(bool value) noexcept { f_deviceWasCreated.store(value); }
    bool needApplyFormatOnCreate() const noexcept { return f_needApplyFormatOnCreate.load(); }
    void setNeedApplyFormatOnCreate(bool value) noexcept { f_needApplyFormatOnCreate.store(value); }
    bool needDriver() const noexcept { return f_iNeedDriver.load(); }
    void setNeedDriver(bool value) noexcept { f_iNeedDriver.store(value); }
    bool componentLoaded() const noexcept { return f_loaded.load(); }
    // Stores the tag without the device work of setFormatTag.
    void setFormatTagValue(uintptr_t value) noexcept { f_formatTag.store(value); }
    kelMsAcm* acm() const noexcept { return f_acm2.load(); }

private:
    // Takes the device out under the guard and frees it.
    void freeDevice();
    // setDriver with the mark whether this component loaded the driver.
    void assignDriver(kelMsAcmDriver* value, bool loadedHere);

    // --- fields, in the system's order ------------------------------------------
    std::atomic<intptr_t> f_deviceId{-1};
    std::atomic<bool> f_mapped{false};
    std::atomic<bool> f_deviceWasCreated{false};
    std::atomic<bool> f_iNeedDriver{false};
    std::atomic<bool> f_needToUnloadDriver{false};
    std::atomic<kelAcmCodecDriverMode> f_driverMode{kelcdm_acm};
    std::string f_driverLibrary; // guarded by f_propertyGuard
    std::atomic<bool> f_direct{false};
    std::atomic<bool> f_realTime{false};
    std::atomic<bool> f_applyFormatTagImmunable{false};
    std::atomic<bool> f_needApplyFormatOnCreate{true};
    std::atomic<uintptr_t> f_minVolume{0};
    std::atomic<uintptr_t> f_minActiveTime{0};
    kelWaveOnThresholdEvent f_onThreshold; // guarded by f_propertyGuard
    std::atomic<uintptr_t> f_overNum{kDefaultOverNum};
    std::atomic<uintptr_t> f_formatTag{0};
    std::atomic<bool> f_loop{false};
    std::atomic<bool> f_inputIsPcm{true};
    std::atomic<bool> f_addSilence{false};
    std::atomic<bool> f_calcVolume{false};
    std::atomic<kelWaveInSDMethods> f_sdmCache{kelsdm_none};
    std::atomic<bool> f_pcmChannelMaskIsNotDefault{false};
    std::atomic<intptr_t> f_waveError{0};
    kelFormatBlock f_formatExt; // guarded by f_formatGuard
    std::atomic<kelMsAcm*> f_acm2{nullptr};
    std::atomic<bool> f_loaded{true};
    std::atomic<kelMsAcmDriver*> f_driver{nullptr};
    std::atomic<kelMsAcmStreamDevice*> f_device{nullptr};
    tkelOnAcmReq f_onAcmReq; // guarded by f_propertyGuard
    std::atomic<bool> f_sdo{true};

    kelClockSlot f_clock;
    mutable std::mutex f_formatGuard;
    mutable std::mutex f_propertyGuard;
    // Held read-only for each device call, for writing while the device is
    // replaced.
    kelObject f_deviceGuard;
};
