#pragma once
// CELT frames in RTP payloads. Each frame is preceded by its length, coded
// as bytes of 255 and a last byte below 255 that together sum to it
// (300: 255 45; 254: 254; 255: 255 0). A payload may hold several frames
// for each of the coder's streams: the length entries of all its frames
// come first, then the frames in the same order.
//
// Pure functions on caller memory; any thread.

#include <cstddef>
#include <cstdint>
#include <vector>

// The most streams per frame and frames per payload a receiver splits.
inline constexpr size_t kelCeltMaxStreams = 16;
inline constexpr size_t kelCeltMaxFrames = 50;

// Writes the length prefix of a `len`-byte frame to `out` (replacing what
// it held).
void kelCeltLengthPrefix(size_t len, std::vector<uint8_t>& out);

struct kelCeltFrame
{
    const uint8_t* data;
    size_t len;
};

// Splits `payload` into its frames for a coder of `streams` streams. False,
// with `frames` empty, when the length bytes run past the payload, the
// lengths do not add up to it, or it needs more than kelCeltMaxFrames
// frames or the coder more than kelCeltMaxStreams streams.
bool kelCeltSplitFrames(const uint8_t* payload, size_t size, size_t streams,
                        std::vector<kelCeltFrame>& frames);
