#pragma once
// kelmtlWaveResampler: the resampler device (kelWaveResampler) as a pipe
// component. The component's format record is the source side (a
// provider's format sets it); the destination record (dst_SamplesPerSec,
// dst_BitsPerSample, dst_NumChannels; 44100 Hz, 16 bits, 2 channels at
// first) is what it puts out, and is the format block it offers its
// consumers. With useSpeexDSP it resamples through the Speex DSP library
// when that is present and both sides suit it.
//
// Threads: as for every wave component (kelmtlInOutWavePipe.h). Not in
// real time the conversion runs on the provider's thread inside its write,
// and the converted chunks reach the consumers on that thread.

#include "audio/kelWaveResampler.h"
#include "components/kelWavePcmRecord.h"
#include "components/kelmtlInOutWavePipe.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class kelmtlWaveResampler : public kelmtlInOutWavePipe
{
public:
    static constexpr uint32_t kDefaultDstRate = 44100;
    static constexpr uint16_t kDefaultDstBits = 16;
    static constexpr uint16_t kDefaultDstChannels = 2;

    explicit kelmtlWaveResampler(kelComponent* owner = nullptr);
    ~kelmtlWaveResampler() override;

    kelWaveResampler* resampler() const noexcept;

    // The destination record: read from the device (the component's own
    // record without one). Any thread.
    uint32_t dst_SamplesPerSec() const;
    uint32_t dst_BitsPerSample() const;
    uint32_t dst_NumChannels() const;
    // Each changes one value of the destination record and gives it to the
    // device (an active component closes around it) and to the consumers.
    // A value the resampler cannot take leaves everything as it was.
    void setDst_SamplesPerSec(uintptr_t value) { setDstByIndex(kelPcmSamplesPerSec, value); }
    void setDst_BitsPerSample(uintptr_t value) { setDstByIndex(kelPcmBitsPerSample, value); }
    void setDst_NumChannels(uintptr_t value) { setDstByIndex(kelPcmNumChannels, value); }
    // A copy of the destination record.
    std::vector<uint8_t> dstFormatExt() const;

    bool useSpeexDSP() const noexcept { return f_uspeexdsp.load(); }
    // The device follows (an active component closes around it).
    void setUseSpeexDSP(bool value);

    kelString _classID() const override { return u"kelmtlWaveResampler"; }

protected:
    void createNewDevice() override;
    // Sets the resampler's sampling of that side, and its useSpeexDSP.
    bool applyDeviceFormat(const kelFormatBlock& format, bool isSrc) override;
    uintptr_t getDstChunkSize() override;
    // The destination format.
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;

private:
    void setDstByIndex(int index, uintptr_t value);
    kelFormatBlock copyDstRecord() const;
    kelPcmValues dstValues() const;

    kelFormatBlock f_dstFormatExt; // guarded by f_dstGuard
    std::atomic<bool> f_uspeexdsp{false};
    mutable std::mutex f_dstGuard;
};
