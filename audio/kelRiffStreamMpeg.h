#pragma once
// The MPEG audio side of kelRiffStream: a file that is not a RIFF tree but
// holds MPEG audio frames is read as a stream of its frames, passed on
// compressed. The frames come from a frame finder over a file bit reader;
// the current one waits in a buffer until the device delivers it.
//
// Owned by the stream; used by its reading thread (or the passive caller)
// and, while the device is closed, by the owner.

#include "codecs/kelMpeg.h"
#include "core/kelTypes.h"

#include <cstdint>
#include <vector>

struct kelRiffMpegState
{
    explicit kelRiffMpegState(const kelString& fileName) : f_mpegReader(fileName), f_mpeg(&f_mpegReader) {}

    // Fetches the next frame into the buffer; false (buffer empty) when the
    // file holds no more. `loop` starts again from the file's start once.
    bool fetch(bool loop);

    kelBitReader_file f_mpegReader;
    kelMpegAudio_layer123 f_mpeg;
    std::vector<uint8_t> f_mpegBuf = std::vector<uint8_t>(kBufSize);
    uintptr_t f_mpegBufInUse = 0;
    kelMpegHeader f_mpegHdr;
    // The sample budget: samples delivered and samples owed; a surplus
    // carries over as credit.
    uint64_t f_mpegSamplesWritten = 0;
    uint64_t f_mpegSamplesNeeded = 0;
    uint64_t f_mpegSamplesPerChunk = 0;
    // Frame bytes seen in the first pass over the file (reading counts them
    // into the stream size).
    uint64_t f_firstPassBytes = 0;
    bool f_firstPass = true;

    static constexpr uintptr_t kBufSize = 8000;
    // How far behind its ID3v2 tags a file's first frame is sought.
    static constexpr intptr_t kFirstFrameSearch = 1048576;
};
