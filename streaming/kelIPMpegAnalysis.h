#pragma once
// MPEG audio in the transmitter: cutting a byte stream into whole frames,
// so that each RTP packet carries one frame behind RFC 2250's 4-byte
// header, and deciding whether written data is framed MPEG audio at all.
//
// kelIPMpegFrames appends what it is given to a growing bit reader and
// hands out every whole frame it finds, with the frame's samples and rate.
// kelIPMpegAnalysis runs the frames of written data and keeps a running
// ratio of the bytes it had to skip to the frame bytes it found. Data in
// which no frame turns up counts as over the limit, so a stream that is not
// MPEG audio is given up on after kCheckWrites writes and from then on goes
// out as it is written (instead of being eaten by the frame finder).
//
// Memory stays bounded: the finder consumes everything it has searched
// through, so only an unfinished frame and the finder's look-ahead (about
// 2000 bytes) wait between writes. One thread at a time (the writer's).

#include "codecs/kelMpegAudio_layer123.h"
#include "streaming/kelIPBitReader.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// One whole frame: its bytes, its samples per channel and sampling rate.
using kelIPMpegFrameOut =
    std::function<void(const uint8_t* frame, size_t len, intptr_t samples, intptr_t rate)>;

class kelIPMpegFrames
{
public:
    kelIPMpegFrames();

    struct Result
    {
        size_t frames = 0;
        int64_t frameBytes = 0;
        // Bytes consumed in search of frames (garbage, tags, bad headers).
        int64_t skipped = 0;
    };

    // Appends `len` bytes and hands every whole frame now complete to
    // `out`, in order. With `panicOnSmallBuf` the search waits for about
    // 2000 bytes of look-ahead (data written in arbitrary pieces); without
    // it frames go as soon as they are whole (an encoder's output).
    Result write(const uint8_t* data, size_t len, bool panicOnSmallBuf, const kelIPMpegFrameOut& out);
    // Forgets everything: an empty reader and a new frame finder, which
    // takes the next stream's version, layer and rate afresh.
    void restart();
    // Bytes written and not yet handed out or skipped.
    size_t buffered() const noexcept;

private:
    bitReader f_mpegBuf;
    std::unique_ptr<kelMpegAudio_layer123> f_mpegParser;
    kelMpegHeader f_mpegFHdr;
    uint8_t f_mpegFrame[4096] = {};
};

class kelIPMpegAnalysis
{
public:
    // A running ratio above this many percent of skipped to frame bytes
    // means the data is not framed MPEG audio.
    static constexpr intptr_t kRatioLimit = 200;
    // The ratio is judged once every this many writes.
    static constexpr intptr_t kCheckWrites = 100;

    // Off, ratio and count 0, nothing buffered, ready to start (the start of
    // a session).
    void reset();
    bool analyzing() const noexcept { return f_mpegAnalyze; }
    // Switches the analysis on, unless it gave up on this session's data.
    void start() noexcept { f_mpegAnalyze = !f_gaveUp; }
    bool gaveUp() const noexcept { return f_gaveUp; }

    // Splits one write into frames (see kelIPMpegFrames). False when the
    // analysis is off, or has just switched itself off: the caller then
    // sends the data as it is.
    bool write(const uint8_t* data, size_t len, const kelIPMpegFrameOut& out);

    // Hands out the whole frames still waiting for look-ahead, as the
    // stream ends (nothing when the analysis is off).
    void flush(const kelIPMpegFrameOut& out);

    intptr_t ratio() const noexcept { return f_mpegFS_SOratio; }
    intptr_t count() const noexcept { return f_mpegFS_SOcount; }
    size_t buffered() const noexcept { return f_frames.buffered(); }

private:
    kelIPMpegFrames f_frames;
    bool f_mpegAnalyze = false;
    bool f_gaveUp = false;
    intptr_t f_mpegFS_SOratio = 0;
    intptr_t f_mpegFS_SOcount = 0;
};
