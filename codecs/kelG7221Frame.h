#pragma once
// The frame coders of G.722.1: one 20 ms frame of 16-bit samples to one
// frame of bits and back, with the state that links consecutive frames.
// Two modes:
//
//   sample rate  frame (= transform size)  regions  control bits  usual bit rates
//   16000 Hz     320 samples               14       4             24000, 32000
//   32000 Hz     640 samples               28       5             24000, 32000, 48000
//
// (The second is the 14 kHz mode that RTP peers speak at 32000 Hz.) Any bit
// rate from 8000 to 48000 in steps of 800 works in both. A frame holds
// bitrate / 50 bits (a whole number of 16-bit words), sent most significant
// bit first; the decoder's output lags the encoder's input by one frame.
//
// Plain values; one thread at a time.

#include <cstdint>

struct kelG7221Mode
{
    static constexpr int minBitrate = 8000;
    static constexpr int maxBitrate = 48000;
    static constexpr int bitrateStep = 800;

    int frameSize = 0; // samples per frame, also the transform size
    int regions = 0;
    int controlBits = 0;
    int bitsPerFrame = 0;

    // The mode for `sampleRate` and `bitrate`, or an invalid one (frameSize 0)
    // for any other sample rate or bit rate.
    static constexpr kelG7221Mode forRate(int sampleRate, int bitrate) noexcept;

    bool valid() const noexcept { return frameSize != 0; }
    int bytesPerFrame() const noexcept { return bitsPerFrame / 8; }
    int possibilities() const noexcept { return 1 << controlBits; }
    int codedCoefs() const noexcept { return regions * 20; }
};

constexpr kelG7221Mode kelG7221Mode::forRate(int sampleRate, int bitrate) noexcept
{
    kelG7221Mode mode;
    if (bitrate < minBitrate || bitrate > maxBitrate || bitrate % bitrateStep != 0) return mode;
    if (sampleRate == 16000) {
        mode.frameSize = 320;
        mode.regions = 14;
        mode.controlBits = 4;
    } else if (sampleRate == 32000) {
        mode.frameSize = 640;
        mode.regions = 28;
        mode.controlBits = 5;
    } else {
        return mode;
    }
    mode.bitsPerFrame = bitrate / 50;
    return mode;
}

class kelG7221FrameEncoder
{
public:
    static constexpr int maxFrameSize = 640;

    explicit kelG7221FrameEncoder(const kelG7221Mode& mode) noexcept : f_mode(mode) {}

    // Codes `mode.frameSize` samples into `mode.bytesPerFrame()` bytes.
    void encode(const int16_t* samples, uint8_t* frame) noexcept;

    const kelG7221Mode& mode() const noexcept { return f_mode; }

private:
    // Windows the previous and current frame into `coefs`; returns the
    // block scaling (the power of two applied before the transform).
    int16_t analyse(const int16_t* samples, int16_t* coefs) noexcept;

    kelG7221Mode f_mode;
    int16_t f_history[maxFrameSize] = {};
};

class kelG7221FrameDecoder
{
public:
    static constexpr int maxFrameSize = 640;

    explicit kelG7221FrameDecoder(const kelG7221Mode& mode) noexcept : f_mode(mode) {}

    // Decodes `mode.bytesPerFrame()` bytes into `mode.frameSize` samples
    // (all 16 bits). A null `frame` is a lost frame. A lost frame, or one
    // whose bits are inconsistent, is concealed: the previous frame's
    // coefficients are repeated once, then silence follows. Returns false
    // when the frame was concealed.
    bool decode(const uint8_t* frame, int16_t* samples) noexcept;

    const kelG7221Mode& mode() const noexcept { return f_mode; }

private:
    // Reads the frame's coefficients; false for a bad frame.
    bool decodeCoefs(const uint8_t* frame, int16_t* coefs, int16_t& magShift) noexcept;
    int16_t random() noexcept;
    void synthesise(const int16_t* coefs, int16_t magShift, int16_t* samples) noexcept;

    kelG7221Mode f_mode;
    int16_t f_oldCoefs[maxFrameSize] = {};
    int16_t f_oldMagShift = 0;
    int16_t f_oldSamples[maxFrameSize / 2] = {};
    int16_t f_seed[4] = {1, 1, 1, 1};
};
