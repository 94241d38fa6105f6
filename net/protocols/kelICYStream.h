#pragma once
// kelICYStreamSplitter: separates the metadata that ICY servers interleave
// with the audio. After every `metaint` audio bytes comes one length byte n
// and n * 16 bytes of metadata (n = 0: none this time):
//
//   | metaint audio bytes | n | n*16 metadata | metaint audio bytes | n | ...
//
// Bytes may arrive split anywhere. A metadata block is handed over whole,
// straight from the input when it arrived in one piece, else from a buffer of
// at most 255 * 16 bytes. Pure: no sockets, threads or clocks.

#include <cstddef>
#include <cstdint>
#include <vector>

class kelICYStreamSink
{
public:
    virtual ~kelICYStreamSink() = default;
    // Audio bytes, in order; valid during the call.
    virtual void icyAudio(const uint8_t* data, size_t len) = 0;
    // One whole metadata block (its length byte not included); valid during
    // the call.
    virtual void icyMetadata(const uint8_t* data, size_t len) = 0;
};

class kelICYStreamSplitter
{
public:
    // `metaInt` 0: every byte is audio.
    void reset(uint32_t metaInt) noexcept;
    void feed(const uint8_t* data, size_t len, kelICYStreamSink& sink);

    uint32_t metaInt() const noexcept { return f_metaInt; }
    // Audio bytes since the last metadata block.
    uint32_t audioOffset() const noexcept { return f_audioOffs; }
    bool inMetadata() const noexcept { return f_state != State::Audio; }

private:
    enum class State { Audio, Length, Block };
    uint32_t f_metaInt = 0;
    uint32_t f_audioOffs = 0;
    State f_state = State::Audio;
    size_t f_blockSize = 0;
    std::vector<uint8_t> f_block;
};
