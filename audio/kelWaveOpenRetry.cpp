#include "audio/kelWaveOpenRetry.h"

#include "audio/kelWaveFormatRoutines.h"

namespace {

MMRESULT openOnce(bool isIn, kelWaveHandle** handle, uint32_t deviceId, const WAVEFORMATEX* format,
                  uintptr_t callback, uintptr_t instance, uint32_t flags) noexcept
{
    return isIn ? waveInOpen(handle, deviceId, format, callback, instance, flags)
                : waveOutOpen(handle, deviceId, format, callback, instance, flags);
}

} // namespace

MMRESULT kelWaveOpenWithRetry(bool isIn, kelWaveHandle** handle, uint32_t deviceId,
                              const kelFormatBlock& record, uintptr_t callback, uintptr_t instance,
                              uint32_t flags) noexcept
{
    const WAVEFORMATEX* format = record.format();
    if (format == nullptr) return MMSYSERR_INVALPARAM;
    const MMRESULT first = openOnce(isIn, handle, deviceId, format, callback, instance, flags);
    if (first == MMSYSERR_NOERROR || format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return first;
    kelFormatBlock plain;
    if (!formatExtToFormat(format, record.size(), plain, false) || plain.format() == nullptr) return first;
    return openOnce(isIn, handle, deviceId, plain.format(), callback, instance, flags);
}
