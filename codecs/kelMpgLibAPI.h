#pragma once
// kelLibmpg123Decoder: MPEG audio decoding through libmpg123's feed mode.
// Bytes go in with feed() in any pieces; read() hands out the PCM decoded
// so far and reports the output format whenever it is new (first output
// after open, and every change of rate or channels in the stream).
//
// The library is loaded by name when the decoder is made (libmpg123.so.0
// for an empty name) and never linked; without it every call is neutral
// (-1, 0). One decoder serialises its calls on its own lock, so a reader
// thread and a thread changing properties may share it; the format event
// fires on the reading thread after the lock is released.

#include "codecs/kelMpg123Proc.h"
#include "core/kelObject.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class kelLibmpg123Decoder;

// A new output format: rate in Hz, channels (1 or 2), bits per sample and
// the library's encoding code. Runs on the thread that called read(); the
// arguments are plain values.
using kelLibmpg123_onFormatChange =
    std::function<void(kelLibmpg123Decoder* sender, long rate, int numChannels, int numBits, int encoding)>;

class kelLibmpg123Decoder : public kelObject
{
public:
    explicit kelLibmpg123Decoder(const std::string& libname = {});
    ~kelLibmpg123Decoder() override;

    // The library loaded and initialised.
    bool libOK() const noexcept { return f_libOK; }
    // Closes, then makes a decoder in feed mode. The library's result (0),
    // or -1 without the library.
    int open();
    // Hands bytes to the decoder. The library's result, -1 when not open.
    int feed(const void* data, size_t size);
    // Decoded PCM into `outdata`; `outsize` is the room in and the bytes
    // written out. The library's result: 0, -10 (needs more input), -11
    // (a new format: the bytes written are already in it), -1 when not
    // open or on a stream error.
    int read(void* outdata, size_t& outsize);
    void close();
    bool isOpen() const noexcept { return f_mh != nullptr; }

    // The bit rate of the current frame in kbit/s; 0 before the first.
    int bitrate();
    // Chooses the library's decoder by name for the open handle.
    int setDecoder(const std::string& name);
    // The output formats the next opens negotiate: only `encodings` (a
    // mask of the library's codes) at `rate` (0 any of the library's
    // rates) with `channels` (1, 2 or 3 for both). An encoding of 0 lifts
    // the restriction.
    void forceFormat(long rate, int channels, int encodings);
    // Whether the decoder looks for the next frame after a broken one (the
    // default) or reports an error. Applies from the next open.
    void setAutoResynch(bool value) noexcept { f_autoResynch = value; }
    bool autoResynch() const noexcept { return f_autoResynch; }

    // Set while no read() runs.
    void setOnFormatChange(kelLibmpg123_onFormatChange handler) { f_onFC = std::move(handler); }

    // Bits per sample of one of the library's encodings (16 when unknown).
    int bitsOf(int encoding) const noexcept;

protected:
    // Runs before the event, with the same values; on the reading thread,
    // outside the lock.
    virtual void doFormatChange(long rate, int numChannels, int numBits, int encoding);

private:
    kelMpg123Proc f_proto;
    bool f_libOK = false;
    kelMpg123Handle* f_mh = nullptr;
    kelLibmpg123_onFormatChange f_onFC;
    bool f_noFC = true;
    bool f_autoResynch = true;
    long f_forceRate = 0;
    int f_forceChannels = 0, f_forceEncodings = 0;
};
