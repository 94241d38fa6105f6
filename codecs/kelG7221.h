#pragma once
// G.722.1 coders for 16-bit mono audio at 16000 Hz (7 kHz band, 320-sample
// frames) and 32000 Hz (14 kHz band, 640-sample frames), at bit rates from
// 8000 to 48000 bit/s in steps of 800 (24000/32000 at 16000 Hz and
// 24000/32000/48000 at 32000 Hz are the rates RTP peers use):
//
//   coder            unit in                       out
//   kelG7221Encoder  one frame of samples          bitrate / 400 bytes
//   kelG7221Decoder  bitrate / 400 bytes           one frame of samples
//
// Coded frames are the RTP payload form: the frame's bits in transmission
// order, the first bit in the most significant bit of byte 0. Samples are
// host-order signed 16-bit; decoded samples have their two least
// significant bits cleared.
//
// The coders take input of any length, keep what does not yet make a whole
// unit and code whole units in arrival order. Each result goes to
// frameReady(), which subclasses override; it runs on the thread that called
// write() or lostFrame(), with no lock held, and its data is the coder's own
// buffer, valid only during the call. write(), lostFrame() and configure()
// are for one thread at a time (the one that owns the stream being coded).

#include "codecs/kelG7221Frame.h"
#include "core/kelCreate.h"
#include "core/kelMemoryStream.h"
#include "core/kelObject.h"

#include <cstdint>
#include <vector>

// Results of configure().
inline constexpr int kelG7221OK = 0;
// Only 16000 and 32000 Hz have a G.722.1 mode.
inline constexpr int kelG7221ErrorSampleRate = 1;
// The bit rate is outside 8000..48000 or not a multiple of 800.
inline constexpr int kelG7221ErrorBitrate = 2;
// What write() and lostFrame() return from a coder that is not configured:
// it takes nothing.
inline constexpr intptr_t kelG7221NotConfigured = -1;

class kelG7221Coder : public kelObject
{
public:
    ~kelG7221Coder() override;

    // Sets the mode, drops pending bytes and starts from a fresh state. On
    // failure the coder is left unconfigured (unit size 0).
    virtual int configure(int sampleRate, int bitrate) noexcept = 0;
    // The input bytes of one unit; 0 when unconfigured.
    virtual intptr_t unitSize() const noexcept = 0;

    // Codes every whole unit that the pending bytes and `data` make and
    // keeps the rest. Returns the frames delivered by this call, or
    // kelG7221NotConfigured (nothing is kept).
    intptr_t write(const void* data, intptr_t len) noexcept;

    // The coder is ready after construction; these exist for the users that
    // open and close every coder.
    bool open() noexcept { return isConfigured(); }
    void close() noexcept {}

    bool isConfigured() const noexcept { return f_mode.valid(); }
    int configureResult() const noexcept { return f_configureResult; }
    intptr_t pendingBytes() noexcept;

    int f_framesize = 0;
    int f_number_of_bits_per_frame = 0;
    int f_number_of_16bit_words_per_frame = 0;
    int num_rate_control_possibilities = 0;
    int num_rate_control_bits = 0;
    static constexpr int region_size = 20;
    // Frames delivered since construction.
    intptr_t f_numFrames = 0;

protected:
    kelG7221Coder() noexcept;

    // Checks and stores the mode; the result of configure().
    int setMode(int sampleRate, int bitrate) noexcept;
    // Codes the whole units at `data` (`len` is a multiple of the unit).
    // Returns the frames delivered.
    virtual intptr_t processUnits(const uint8_t* data, intptr_t len) noexcept = 0;
    // One result: `len` bytes at `data`. The base does nothing.
    virtual void frameReady(const uint8_t* data, intptr_t len);
    // Counts the frame and calls frameReady, keeping an exception from it
    // inside the coder.
    void deliver(const uint8_t* data, intptr_t len) noexcept;

    kelG7221Mode f_mode;
    int f_configureResult = kelG7221ErrorSampleRate;
    kelOwned<kelMemoryStream> f_subStream;
    std::vector<uint8_t> f_subBuf; // one unit gathered from pending bytes and new data
};

class kelG7221Encoder : public kelG7221Coder
{
public:
    kelG7221Encoder(int sampleRate, int bitrate) noexcept;

    int configure(int sampleRate, int bitrate) noexcept override;
    intptr_t unitSize() const noexcept override { return intptr_t(f_mode.frameSize) * 2; }

protected:
    intptr_t processUnits(const uint8_t* data, intptr_t len) noexcept override;

private:
    kelG7221FrameEncoder f_encoder{kelG7221Mode{}};
    uint8_t out_words[kelG7221Mode::maxBitrate / 400] = {}; // one coded frame
};

class kelG7221Decoder : public kelG7221Coder
{
public:
    kelG7221Decoder(int sampleRate, int bitrate) noexcept;

    int configure(int sampleRate, int bitrate) noexcept override;
    intptr_t unitSize() const noexcept override { return f_mode.bytesPerFrame(); }

    // A frame that never arrived: delivers one concealed frame (the last
    // good frame's spectrum once, then silence). Returns 1, or
    // kelG7221NotConfigured.
    intptr_t lostFrame() noexcept;
    // Frames concealed so far, lost or bad.
    intptr_t concealedFrames() const noexcept { return f_concealed; }

protected:
    // A frame whose bits are inconsistent is concealed like a lost one, so
    // the output keeps its length.
    intptr_t processUnits(const uint8_t* data, intptr_t len) noexcept override;

private:
    void decodeOne(const uint8_t* frame) noexcept;

    kelG7221FrameDecoder f_decoder{kelG7221Mode{}};
    int16_t f_samples[kelG7221FrameDecoder::maxFrameSize] = {};
    intptr_t f_concealed = 0;
};
