#pragma once
// kelLameEncoder: MP3 encoding of 16-bit interleaved PCM through the
// encoder's stream interface (kelBladeEnc.h) over LAME, loaded by name
// (libmp3lame.so.0 for an empty name) and never linked. Every produced
// block goes to doDataAvailable() and the onDataAvailable event.
//
// Writes may have any length: a part of a sample frame (an odd byte, or
// one channel of a stereo frame) waits for the next write, so the coded
// bytes do not depend on how the PCM was cut up.
//
// The encoder serialises its calls on its own lock. The data handlers run
// on the calling thread with that lock held (it is re-entrant, so a
// handler may call back in); they must not block. A subclass that
// overrides doDataAvailable closes in its own destructor, or is freed
// with kelFree, so that the last frames reach it.

#include "codecs/kelBladeEnc.h"
#include "core/kelObject.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class kelLameEncoder;

// One produced block: the samples per MPEG frame, the bytes. The bytes are
// valid during the call.
using kelLameEncoderDataAvail =
    std::function<void(kelLameEncoder* sender, uint32_t frameSize, const void* data, uint32_t size)>;

class kelLameEncoder : public kelObject
{
public:
    explicit kelLameEncoder(const std::string& libName = {});
    ~kelLameEncoder() override;

    bool libOK() const noexcept { return f_libOK; }
    bool active() const noexcept { return f_active; }

    // Opens a stream (closing the last one first): CBR or ABR at `bitrate`
    // kbit/s, output rate `resample` (negative: the input rate; 0: the
    // encoder chooses), `preset` one of the LQP_ values (-1: the CBR or ABR
    // preset). The stream interface's result; 0 is success.
    BE_ERR open(uint32_t bitrate, bool cbr, int32_t resample = -1, int32_t preset = -1);
    // Opens a VBR stream of `quality` (0 best .. 9) between the two rates.
    BE_ERR openVBR(int32_t quality, uint32_t minBitrate, uint32_t maxBitrate, int32_t resample = -1);
    // Codes `len` bytes of PCM. 0, or the stream interface's error:
    // BE_ERR_INVALID_HANDLE when not open, BE_ERR_BUFFER_TOO_SMALL for
    // fewer than 2 bytes with nothing pending.
    BE_ERR encode(const void* data, uint32_t len);
    // Ends the stream's coding and passes its last frames on; `locked`
    // when the caller holds the encoder's lock.
    void flush(bool locked = false);
    void close();
    BE_VERSION getVer();

    // The input format; set while closed.
    void setInput(uint32_t samplesPerSec, uint32_t channels) noexcept;
    void setFlags(bool copyright, bool original, bool privateBit) noexcept;
    void setMpegVersion(uint32_t mpeg) noexcept { f_mpeg = mpeg; }

    // Samples per MPEG frame of the open stream (1152 or 576), as the
    // encoder chose for its output rate.
    uint32_t frameSize() const noexcept { return f_frameSize; }
    uint32_t samplesPerChunk() const noexcept { return f_nSamplesPerChunk; }
    uint32_t minOutBufSize() const noexcept { return f_minOutBufSize; }

    // Set while the encoder is closed.
    void setOnDataAvailable(kelLameEncoderDataAvail handler) { f_onDataAvail = std::move(handler); }

protected:
    // One produced block (see the event).
    virtual void doDataAvailable(uint32_t frameSize, const void* data, uint32_t size);

private:
    BE_ERR openWith(BE_CONFIG& config);
    void deliver(uint32_t size);
    BE_ERR encodeStaged();

    kelBladeEncProc f_proc;
    HBE_STREAM f_stream = 0;
    uint32_t f_nSamplesPerChunk = 0, f_minOutBufSize = 0;
    std::vector<uint8_t> f_buf;
    // Bytes waiting for the encoder: whole sample frames are coded at the
    // end of every write, the part of one frame stays.
    std::vector<int16_t> f_stage;
    uint32_t f_stagedBytes = 0;
    uint32_t f_frameSize = 0;
    bool f_bCopy = false, f_bOriginal = true, f_bPrivate = false;
    uint32_t f_mpeg = MPEG1, f_nCh = 2, f_nSps = 44100;
    bool f_active = false, f_gotAnyData = false, f_libOK = false;
    kelLameEncoderDataAvail f_onDataAvail;
};
