#pragma once
// What the panomix engine needs of its wave output: a PCM format (rate,
// channel count, speaker mask; 16 bits), open and close, a flush that
// queues silence, writes, and the feed-done event raised for every chunk
// the device has finished playing. The program plugs in the wave output
// component (panomixComponentOutput); the tests plug in fakes, so the engine
// runs without a device and without windows.

#include <cstddef>
#include <cstdint>
#include <functional>

class panomixOutput
{
public:
    // Raised with the finished chunk's buffer and size, on the thread that
    // completes playback. The buffer is valid during the call only and may
    // be written back (write) from inside it; the handler must not open or
    // close the output.
    using feedDoneHandler = std::function<void(uint8_t* data, size_t len)>;

    virtual ~panomixOutput() = default;

    // Window thread. Set before open().
    virtual void setFeedDoneHandler(feedDoneHandler handler) = 0;

    // The format. Setters run on the window thread while closed.
    virtual uint32_t pcm_samplesPerSec() const = 0;
    virtual void set_pcm_samplesPerSec(uint32_t rate) = 0;
    virtual uint32_t pcm_numChannels() const = 0;
    virtual void set_pcm_numChannels(uint32_t channels) = 0;
    virtual uint32_t pcm_channelMask() const = 0;
    virtual void set_pcm_channelMask(uint32_t mask) = 0;
    // Bytes per second of the format: rate x channels x 2.
    virtual uint64_t nAvgBytesPerSec() const = 0;

    // Window thread. False (and closed) when the device cannot be opened.
    virtual bool open() = 0;
    // Window thread. Once it returns the feed-done handler is not running
    // and is not raised again until the next open().
    virtual void close() = 0;
    // Any thread.
    virtual bool active() const = 0;
    // Queues the output's over-run count of silent chunks, whose
    // completions start the feed loop.
    virtual void flush() = 0;
    // Queues one chunk for playback; the bytes are copied. Any thread,
    // also from inside the feed-done handler.
    virtual size_t write(const uint8_t* data, size_t len) = 0;
};
