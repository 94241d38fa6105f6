#pragma once
// The ALSA back end of the wave layer. Devices are the PCM devices of
// ALSA's cards (opened through "plughw", so any rate and sample size is
// converted); the mapper is ALSA's "default" device (PipeWire or
// PulseAudio when they are there). Built without ALSA it offers no devices
// and no mapper.

#include "platform/kelWaveBackend.h"

#include <memory>
#include <string>

// Cards' PCM devices that play (or record).
uint32_t kelAlsaDeviceCount(bool isIn) noexcept;
// The device's name for its capability record; empty when there is none.
std::string kelAlsaDeviceName(bool isIn, uint32_t index) noexcept;
// Opens device `index` (or the mapper for WAVE_MAPPER) for `format`; with
// `query` only checks the format and answers no back end. ALSA's errors are
// answered as result codes.
std::unique_ptr<kelWaveBackend> kelAlsaOpen(bool isIn, uint32_t index, const WAVEFORMATEX& format, bool query,
                                            MMRESULT& result) noexcept;
// True when the library was built with ALSA.
bool kelAlsaAvailable() noexcept;
