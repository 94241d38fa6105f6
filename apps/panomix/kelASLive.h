#pragma once
// A live source: what a wave input device records, one chunk behind. The
// device's thread copies each recorded chunk into a second buffer; each
// mixed cycle swaps it in. Both sides take the source's own lock (20 ms for
// the copy, 10 ms for the swap) and skip their work when it cannot be had,
// so neither thread waits longer than that. A device that cannot be opened
// leaves the source silent.

#include "apps/panomix/kelAudioSource.h"
#include "apps/panomix/panomixWaveInput.h"

#include <cstdint>
#include <vector>

class kelASLive final : public kelAudioSource
{
public:
    // `param` is the device number; -1 (the mapper) when it is not a number.
    explicit kelASLive(const kelString& param);

    intptr_t deviceId() const noexcept { return f_deviceId; }

protected:
    // Sizes the second buffer.
    void rateChanged(uintptr_t rate) override;
    // The input device is open.
    bool getActive() override { return f_waveIn.isOpen(); }
    void doStart() override;
    void doStop() override { f_waveIn.close(); }
    // Swaps in what was recorded since the last swap.
    void doPrepareNextChunk() override;

private:
    // The device's thread: one recorded chunk.
    void dataAvailable(const int16_t* data, size_t samples);

    intptr_t f_deviceId;
    panomixWaveInput f_waveIn;
    std::vector<int16_t> f_subChunk;
};
