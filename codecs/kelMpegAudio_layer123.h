#pragma once
// kelMpegAudio_layer123: finds the frames of MPEG-1, MPEG-2 and MPEG-2.5
// audio (Layers I, II and III) in what a bit reader serves, without decoding
// them. It skips ID3v2 tags and garbage, fixes the stream's version, layer
// and sampling frequency on its first frame and copies every whole frame
// out while it passes over it.
//
// A frame header (big-endian bits, ISO/IEC 11172-3 2.4.1.3 and 13818-3):
//   sync 11 | version 2 | layer 2 | protection 1 | bitrate 4 | sampling 2 |
//   padding 1 | private 1 | mode 2 | mode ext 2 | copyright 1 | original 1 |
//   emphasis 2, then a 16-bit CRC word when protection is 0.
// version 11 is MPEG-1, 10 MPEG-2, 00 MPEG-2.5; 01 is reserved.
//
// The first frame is taken only when a matching header follows at the
// frame's length (free format: the next free-format header found), or the
// data ends exactly there, so one stray header-like word in front of the
// audio does not fix the stream. A candidate that is not taken is searched
// through from its second byte on. Only whole frames come out.
//
// Used by one thread at a time; never locks.

#include "codecs/kelBitReader.h"
#include "core/kelObject.h"

#include <cstdint>

// A frame header's raw fields; `crc` holds the frame's CRC word when
// `protection_bit` is 0. `version` is the full version the sync bits and
// `ID` give together: 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5.
struct kelMpegHeader
{
    uint8_t ID = 0;
    uint8_t layer = 0;
    uint8_t protection_bit = 0;
    uint8_t bitrate_index = 0;
    uint8_t sampling_frequency = 0;
    uint8_t padding_bit = 0;
    uint8_t private_bit = 0;
    uint8_t mode = 0;
    uint8_t mode_extension = 0;
    uint8_t copyright = 0;
    uint8_t originalCopy = 0;
    uint8_t emphasis = 0;
    uint16_t crc = 0;
    uint8_t version = 0;
};

// Results of nextFrame.
inline constexpr int32_t kelMpegFrameFound = 0;
// The data ran short before a frame was found.
inline constexpr int32_t kelMpegNoFrame = -1;
// A frame starts here but is not all there: on a growing source it is
// examined again at the next call; at the end of a file it is dropped.
inline constexpr int32_t kelMpegFrameIncomplete = -2;

class kelMpegAudio_layer123 : public kelObject
{
public:
    // `reader` is not owned and may be changed later (setReader).
    explicit kelMpegAudio_layer123(kelBitReader_abstract* reader);

    // Finds the next whole frame and copies it to `outBuf` (which must hold
    // kMaxFrameBytes): its header in `h`, the offset of its first byte since
    // the reader's last restart in `foundAt`, the bytes consumed before it in
    // this call (garbage, rejected candidates, ID3v2 tags) in
    // `skipOnResynch`, and its length (header and CRC included) in
    // `frameSize`. On a growing source the search stops while fewer than
    // 2000 bytes (`panicOnSmallBuf`) or 40 bytes are buffered; a file is
    // searched to its end. The bytes examined stay consumed.
    int32_t nextFrame(kelMpegHeader& h, intptr_t& foundAt, intptr_t& skipOnResynch, void* outBuf,
                      intptr_t& frameSize, bool panicOnSmallBuf = false);

    // The frame's length in bytes from its header, 0 when it cannot be
    // known (free format before its length was learnt, reserved fields).
    intptr_t frameLength(const kelMpegHeader& h) const noexcept;
    // Bit rate in kbit/s, 0 for free format or an invalid index.
    static intptr_t bitrateOf(const kelMpegHeader& h) noexcept;
    // Sampling rate in Hz, 0 for a reserved index.
    static intptr_t samplingRateOf(const kelMpegHeader& h) noexcept;
    static intptr_t samplesPerFrameOf(const kelMpegHeader& h) noexcept;
    // Parses 4 header bytes; false for anything that is not a usable header.
    static bool parseHeader(const uint8_t* bytes, kelMpegHeader& h) noexcept;

    // Stops a call after this many bytes of garbage (tags not counted);
    // 0 searches without limit.
    void setResynchLimit(intptr_t bytes) noexcept { f_resynchLimit = bytes; }

    kelBitReader_abstract* reader() const noexcept { return f_reader; }
    void setReader(kelBitReader_abstract* reader) noexcept { f_reader = reader; }
    // The stream's values, -1 until the first frame.
    intptr_t mpegSamplesPerFrame() const noexcept { return f_mpgSPF; }
    intptr_t mpegSamplingRate() const noexcept { return f_mpgSR; }
    intptr_t mpegLayer() const noexcept { return f_mpgLayer; }
    intptr_t mpegChannels() const noexcept { return f_mpgChannels; }
    intptr_t mpegID() const noexcept { return f_mpgID; }

    kelString _classID() const override { return u"kelMpegAudio_layer123"; }

    // The longest frame: Layer II at 160 kbit/s, 8000 Hz, padded.
    static constexpr intptr_t kMaxFrameBytes = 2881;

protected:
    // Consumes the frame behind its header (and CRC), copying it out.
    virtual void readFrameBody(const kelMpegHeader& h);
    // Called after each frame has been copied out.
    virtual void onFrame(const kelMpegHeader& h) { (void)h; }

private:
    enum class Take { frame, incomplete, rejected };
    // Decides on the header candidate at the reader's position and, when
    // it is a whole frame, consumes and copies it.
    Take takeCandidate(kelMpegHeader& h, void* outBuf, intptr_t& frameSize);
    // The free-format length of the frame at the reader's position: the
    // distance to the next matching free-format header; 0 when there is
    // none, -1 when the data may still bring one.
    intptr_t findFreeFormatLength(const kelMpegHeader& h);
    bool matchesStream(const kelMpegHeader& h) const noexcept;
    // Consumes the rest of a tag being skipped; false while some is left.
    bool skipTagRest();
    // An ID3v2 tag header at `p` (10 bytes): the bytes behind it, or -1.
    static int64_t id3TagBodySize(const uint8_t* p) noexcept;
    void fillStreamValues(const kelMpegHeader& h) noexcept;

    kelBitReader_abstract* f_reader;
    intptr_t f_cMpegID = -1;
    intptr_t f_cSamplingRate = -1;
    intptr_t f_cLayer = -1;
    intptr_t f_mpgSPF = -1;
    intptr_t f_mpgSR = -1;
    intptr_t f_mpgLayer = -1;
    intptr_t f_mpgChannels = -1;
    intptr_t f_mpgID = -1;
    // A free-format stream's frame length without padding, once learnt.
    intptr_t f_freeSlotBytes = 0;
    // The tag being skipped: its bytes behind the header span these bit
    // offsets of the reader.
    int64_t f_tagFrom = 0;
    int64_t f_tagEnd = 0;
    intptr_t f_resynchLimit = 0;
};
