#pragma once
// Opening a wave handle for a device's stored extensible record: the
// record as it is first, and when the platform refuses it, once more as
// the plain record it stands for (a mask that a plain record implies, such
// as 0x3 for stereo or 0x60F for 5.1). A mask no plain record implies is
// not retried: the plain record would lose the speaker layout.

#include "audio/kelFormatBlock.h"
#include "platform/kelWaveApi.h"

#include <cstdint>

// waveInOpen (`isIn`) or waveOutOpen with `record`; the platform's result of
// the last attempt. `handle` may be null for a query.
MMRESULT kelWaveOpenWithRetry(bool isIn, kelWaveHandle** handle, uint32_t deviceId,
                              const kelFormatBlock& record, uintptr_t callback, uintptr_t instance,
                              uint32_t flags) noexcept;
