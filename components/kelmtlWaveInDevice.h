#pragma once
// kelmtlWaveInDevice: a wave input device as a pipe component. It records
// from the device named by deviceId (the mapper by default) in its format
// record and hands every recorded chunk to its consumers; it provides its
// format to them (isFormatProvider is on), so a consumer such as a WAV file
// output takes the recorded format before it opens.
//
// Threads: as for every wave component (kelmtlInOutWavePipe.h). Recorded
// chunks reach the consumers on the device thread.

#include "audio/kelWaveInDevice.h"
#include "components/kelmtlInOutWavePipe.h"

class kelmtlWaveInDevice : public kelmtlInOutWavePipe
{
public:
    explicit kelmtlWaveInDevice(kelComponent* owner = nullptr);
    ~kelmtlWaveInDevice() override;

    kelWaveInDevice* waveInDevice() const noexcept;

    kelString _classID() const override { return u"kelmtlWaveInDevice"; }

protected:
    void createNewDevice() override;
};
