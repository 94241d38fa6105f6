#pragma once
// Texts that describe wave formats and the platform's multimedia result
// codes, for device status lines and logs. Pure routines; any thread.

#include "audio/kelWaveFormats.h"
#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>

// A short name for a format tag ("PCM", "IEEEF", "MP3", ...); "#" and the
// tag in decimal for a tag without one.
kelString formatTagName(uint32_t tag);

// "44,100 Hz; 16 Bit; Stereo": the rate with its digits grouped by three
// (the locale's thousands separator, "," when it gives none), " Hz; ", the
// bits and " Bit; " when bitsPerSample is not 0, then "Mono", "Stereo" or
// the count and " channels".
kelString pcmFormatDescription(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t numChannels);

// formatTagName of the tag, ": ", then pcmFormatDescription of the record's
// rate, bits and channels. Empty for no record (shorter than 18 bytes).
kelString formatDescription(const WAVEFORMATEX* format, size_t formatSize);

// The text of a multimedia result code; "unknown error code" for a code
// without one.
kelString mmErrorText(uint32_t code);
// The code, ": ", its text and "." ("11: invalid parameter passed.").
kelString mmErrorTextWithCode(uint32_t code);
