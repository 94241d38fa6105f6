#pragma once
// The little WAV reading and writing the virtual device needs: find the
// format and data chunks of a RIFF/WAVE image, and write a header whose
// sizes are patched when the file is finished.

#include "platform/kelWaveRecords.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct kelWavLayout
{
    WAVEFORMATEX format{};
    size_t dataOffset = 0;
    size_t dataSize = 0;
};

// False for anything but a RIFF/WAVE image with a fmt chunk of at least 16
// bytes before a data chunk. A data chunk that claims more than the image
// holds is cut to what is there.
bool kelWavParse(const uint8_t* image, size_t size, kelWavLayout& layout) noexcept;

// Writes a RIFF header, the fmt chunk (the record with its extra bytes)
// and an empty data chunk header; false on a write error.
bool kelWavWriteHeader(std::FILE* file, const WAVEFORMATEX& format) noexcept;
// Patches the RIFF and data sizes for `dataSize` bytes of samples.
bool kelWavFinish(std::FILE* file, const WAVEFORMATEX& format, uint64_t dataSize) noexcept;
