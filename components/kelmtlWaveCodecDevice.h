#pragma once
// kelmtlWaveCodecDevice: a codec device (kelMsAcmCodec) as a pipe component.
// With inputIsPcm (the default) it encodes the PCM its providers write into
// formatTag; otherwise it decodes formatTag into PCM. Its driver mode picks
// the back end: a registry driver for formatTag, an installable driver
// loaded from driverLibrary, or a codec plug-in library named by
// driverLibrary (whose format tag t selects the plug-in's codec pair t).
//
// Formats: the component's format record is the PCM side. A provider's
// format (a PCM block) asks the codec to suggest the compressed side for
// it; the record then becomes the PCM format the codec settled on. In
// plug-in mode the record is the selected plug-in codec's (its rate, 16
// bits, mono; 8000 Hz without a selection). It is a format provider: its
// block is the 174-byte codec block (the tag, the PCM side's sampling, the
// driver mode and library name).
//
// Threads: as for every wave component (kelmtlInOutWavePipe.h). Properties
// and formats change on the owner's thread; an active component closes
// around a change of its driver and opens again.

#include "audio/kelMsAcmCodec.h"
#include "components/kelmtlInOutWavePipe.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class kelmtlWaveCodecDevice : public kelmtlInOutWavePipe
{
public:
    explicit kelmtlWaveCodecDevice(kelComponent* owner = nullptr);
    ~kelmtlWaveCodecDevice() override;

    kelMsAcmCodec* codec() const noexcept;

    // Makes `format` (a compressed record of `formatSize` bytes; 0: 18 +
    // cbSize) the compressed side and lets the codec suggest the PCM side,
    // which becomes the format record; formatTag takes its tag. The
    // codec's answer. Creates the device when there is none. Owner's
    // thread, component closed.
    bool setNonPCMFormat(const WAVEFORMATEX* format, size_t formatSize = 0);

    // Also handed to an existing codec.
    void setDriverMode(kelAcmCodecDriverMode value) override;
    void setDriverLibrary(const std::string& value) override;

    // An encoder's compressed side.
    bool compressedOutputRecord(kelFormatBlock& record) override;

    kelString _classID() const override { return u"kelmtlWaveCodecDevice"; }

protected:
    void afterConstruction() override;
    void resetDefaults() override;
    void createNewDevice() override;
    // Gives the codec the library in plug-in mode and the driver otherwise.
    void driverChanged() override;
    // A PCM format: the codec suggests the compressed side (formatTag) for
    // it. Any other format: setNonPCMFormat. False without a codec.
    bool applyDeviceFormat(const kelFormatBlock& format, bool isSrc) override;
    // A provider's block that names another driver mode or library makes a
    // codec for it (with the block's format applied).
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;
    uintptr_t getDstChunkSize() override;
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;

private:
    // Stores the compressed side's tag and selects a driver for it.
    void takeTag(uintptr_t tag);
    // The record becomes a copy of the codec's PCM side.
    void takePcmSide();
    // Plug-in mode: the record of the selected plug-in codec.
    void takePluginRecord();
};
