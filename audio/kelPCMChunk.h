#pragma once
// kelPCMChunk: one chunk of PCM with its format, the unit in which audio
// devices, sources and the feed loop pass audio. It owns its buffer (freed
// when the chunk goes; moving hands it over). Not thread-safe: its owner
// serialises access.

#include "pipes/kelWaveFormat.h"

#include <cstddef>
#include <cstdint>

struct kelPCMChunk
{
    kelPCMFormat chunkFormat;
    uintptr_t chunkDataLen = 0; // bytes in use
    uintptr_t chunkBufSize = 0; // bytes allocated
    uint8_t* chunkData = nullptr;

    kelPCMChunk() = default;
    explicit kelPCMChunk(const kelPCMFormat& format) : chunkFormat(format) {}
    ~kelPCMChunk();
    kelPCMChunk(kelPCMChunk&& other) noexcept;
    kelPCMChunk& operator=(kelPCMChunk&& other) noexcept;
    kelPCMChunk(const kelPCMChunk&) = delete;
    kelPCMChunk& operator=(const kelPCMChunk&) = delete;

    // Sizes the buffer for `samples` frames of the chunk's format (samples ×
    // bits × channels / 8 bytes) and empties it. Returns the new size; 0 when
    // the size overflows or memory is short, which leaves the chunk as it was
    // (a request for 0 bytes frees the buffer and also gives 0).
    uintptr_t allocChunk(uintptr_t samples) noexcept;

    // Frames in use: chunkDataLen × 8 / (bits × channels); 0 when either is 0.
    uintptr_t chunkSamples() const noexcept;

    // Converts the frames in use into `dst`'s format (convertPcm) and stores
    // the bytes written in dst.chunkDataLen. 0, with `dst` left empty, when
    // its buffer is too small for the result (convertPcmSize).
    uintptr_t convertChunk(kelPCMChunk& dst) const noexcept;

    void freeChunk() noexcept;
};

static_assert(sizeof(void*) != 8 || sizeof(kelPCMChunk) == 48);
