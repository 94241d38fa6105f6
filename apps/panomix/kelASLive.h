#pragma once
// A live source: what a wave input device records, one chunk behind. The
// device's thread copies each recorded chunk into a second buffer; each
// mixed cycle swaps it in. Both sides take the source's own lock (20 ms for
// the copy, 10 ms for the swap) and skip their work when it cannot be had,
// so neither thread waits longer than that. A device that cannot be opened
// leaves the source silent.

#include "apps/panomix/kelAudioSource.h"
#include "core/kelCreate.h"

#include <cstdint>
#include <vector>

class kelMsAcmStreamDevice;
class kelWaveInDevice;

class kelASLive final : public kelAudioSource
{
public:
    // `param` is the device number; -1 (the mapper) when it is not a number.
    explicit kelASLive(const kelString& param);
    ~kelASLive() override;

    intptr_t deviceId() const noexcept { return f_deviceId; }
    kelWaveInDevice* waveIn() const noexcept { return f_waveIn.get(); }

protected:
    // The device records at the rate, 16-bit mono; sizes the second buffer.
    void rateChanged(uintptr_t rate) override;
    // The input device is open.
    bool getActive() override;
    void doStart() override;
    void doStop() override;
    // Swaps in what was recorded since the last swap.
    void doPrepareNextChunk() override;

private:
    // The device's thread: one recorded chunk.
    void dataAvailable(kelMsAcmStreamDevice* sender, void* data, uintptr_t size);

    intptr_t f_deviceId;
    kelOwned<kelWaveInDevice> f_waveIn;
    std::vector<int16_t> f_subChunk;
};
