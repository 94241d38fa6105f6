#pragma once
// kelRiffStream: a software device that reads a PCM WAV file as a stream of
// chunks, or writes chunks into a new PCM WAV file.
//
// Reading (create): the file's "fmt " chunk sets the source format (and so
// chunkSize), and its "data" chunks are read one after the other, chunk by
// chunk; the last chunk is filled up with silence and sets readingIsDone.
// With `loop` the first data chunk follows the last. Chunks go out through
// deliverChunk when the device thread runs (paced by the timer in real
// time), or to the caller of readData in passive use (passiveOpen, no
// thread). A file that is not a WAV file with a usable format gives a
// negative status, and opening it answers 11 (invalid parameter).
//
// Writing (createNew): open writes the header ("RIFF", "WAVE", "fmt " with
// the format, "data"), every write appends samples, and close stores the
// RIFF and data sizes. The format is written as a 16-byte plain PCM record
// (18 bytes for other plain tags) when it has at most two channels and a
// plain channel layout, and as the extensible record otherwise. RIFF sizes
// are 32-bit: a write that would take the file past 4 GiB is refused
// (sizeLimitReached), so the header always tells the truth.
//
// Compressed data goes through a codec device (kelMsAcmCodec) over a driver
// of the compression manager registry handed to the constructor (`acm`,
// its drivers listed): reading decodes the data chunks into PCM chunks of
// the destination format (the codec gets only the file's bytes, its last
// partial block converted with the end flag, and the last PCM chunk is
// filled up with PCM silence); writing encodes what is written, and close
// converts what the codec still holds before the sizes are fixed. Without
// a registry, a driver for the tag or a PCM format the driver offers, the
// status says which (-3, -4, -5 reading; 3, 4 writing).
//
// A file that is not a RIFF tree but MPEG audio (its first frame found
// within 1 MiB behind its ID3v2 tags, and confirmed by the header that
// follows it) is read as its frames, compressed (fileType 2): the source
// format is PCM at the stream's rate and channels for the chunk timing,
// stored as an extensible record with the MPEG sub-format. Each chunk
// delivers whole frames until it has passed a chunk's worth of samples, a
// surplus counting towards the next chunk; every frame goes out once per
// pass and nothing after the last (with `loop` the first follows it).
//
// Threads: the reading state (position, history, chunk buffers) belongs to
// one thread at a time, the device thread or the caller of readData.
// status, sizes and flags are atomics that any thread may read.

#include "audio/kelMsAcmCodec.h"
#include "audio/kelRIFile.h"
#include "audio/kelRiffReadAhead.h"
#include "audio/kelWaveSoftwareDevice.h"
#include "core/kelFileStream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class kelRiffStream;
class kelMsAcm; // the audio compression manager of the codec paths
struct kelRiffMpegState;

// Raised on the device thread after every reading cycle once the stream is
// done (in passive use: never).
using kelOnRiffStreamIsDone = std::function<void(kelRiffStream* sender)>;

// status values.
inline constexpr intptr_t kelRiffReading = 0;
inline constexpr intptr_t kelRiffWriting = 1;
inline constexpr intptr_t kelRiffNotRiff = -2;
inline constexpr intptr_t kelRiffNoAcm = -3;
inline constexpr intptr_t kelRiffNoDriver = -4;
inline constexpr intptr_t kelRiffNoPcmFormat = -5;
inline constexpr intptr_t kelRiffWriteNoAcm = 3;
inline constexpr intptr_t kelRiffWriteCannotConvert = 4;
inline constexpr intptr_t kelRiffWriteNoFileName = 5;

// fileType values.
inline constexpr intptr_t kelRiffFileNone = 0;
inline constexpr intptr_t kelRiffFileRiff = 1;
inline constexpr intptr_t kelRiffFileMpeg = 2;

// Flags of the chunk walk.
inline constexpr uint32_t kelRiffScanFormat = 1;   // apply the "fmt " chunk
inline constexpr uint32_t kelRiffScanNextData = 2; // find the next unplayed data chunk
inline constexpr uint32_t kelRiffScanAll = 4;      // visit everything (total the data)

class kelRiffStream : public kelWaveSoftwareDevice
{
public:
    struct ForWriting
    {
    };

    // A reading device (output stream only) on `fileName`; see status.
    kelRiffStream(const kelString& fileName, bool realTime, bool loop, kelMsAcm* acm = nullptr);
    // A writing device (input stream only, not real-time) for a new file
    // of `srcFormat` (`dstFormatTag` 1: the samples as they come).
    kelRiffStream(ForWriting, const kelString& fileName, const WAVEFORMATEX* srcFormat,
                  uintptr_t dstFormatTag, kelMsAcm* acm = nullptr);
    ~kelRiffStream() override;

    // Made through kelCreate; free with kelFree.
    static kelRiffStream* create(const kelString& fileName, bool realTime, bool loop,
                                 kelMsAcm* acm = nullptr);
    static kelRiffStream* createNew(const kelString& fileName, const WAVEFORMATEX* srcFormat,
                                    uintptr_t dstFormatTag = WAVE_FORMAT_PCM, kelMsAcm* acm = nullptr);

    // Closes the device and takes `fileName` for reading; the new status.
    intptr_t assignRIFile(const kelString& fileName);
    // Closes the device and prepares writing `fileName`; the new status.
    intptr_t assignRIFileWriteSrc(const kelString& fileName, const WAVEFORMATEX* srcFormat,
                                  uintptr_t dstFormatTag);

    // Makes the device ready for readData without opening it or starting
    // its thread: afterOpen's answer (11 for a file that is not usable).
    uint32_t passiveOpen();
    // The next chunk, min(maxSize, chunkSize) bytes of it (of compressed
    // data: the next decoded chunk, min(maxSize, dstChunkSize); MPEG audio:
    // the next frame, min(maxSize, its size) bytes); 0 when no chunk could
    // be read (the stream is done). Passive use only.
    uintptr_t readData(void* buf, uintptr_t maxSize);

    intptr_t status() const noexcept { return f_status.load(); }
    intptr_t fileType() const noexcept { return f_fileType.load(); }
    // Reading: the bytes of all data chunks; writing: the bytes written.
    uintptr_t streamSize() const noexcept { return f_streamSize.load(); }
    // Reading: the offset in the data of the byte read next.
    uintptr_t streamPosition() const noexcept { return f_streamPos.load(); }
    // Moves reading to `value` rounded down to whole chunks, inside the
    // current data chunk (held at its end). Reading thread.
    void setStreamPosition(uintptr_t value);
    bool readingIsDone() const noexcept { return f_readingIsDone.load(); }
    bool streamIsDone() const noexcept { return f_streamIsDone.load(); }
    const kelString& fileName() const noexcept { return f_fileName; }
    // The file's size (reading) or the "fact" chunk's sample count.
    uintptr_t originalSize() const noexcept { return f_originalSize.load(); }
    bool loop() const noexcept { return f_loop.load(); }
    void setLoop(bool value) noexcept { f_loop.store(value); }
    // A write was refused because the file would pass the 4 GiB a RIFF
    // size field can describe.
    bool sizeLimitReached() const noexcept { return f_sizeLimitReached.load(); }
    kelRIFile* riff() const noexcept { return f_riff.get(); }
    kelMsAcm* acm() const noexcept { return f_acm; }
    // The codec of a compressed file (reading or writing); null otherwise.
    kelMsAcmCodec* codec() const noexcept { return f_codec.get(); }
    // MPEG audio: the samples of one frame; 0 for other files.
    uintptr_t mpegFrameSize() const noexcept;

    void setOnStreamIsDone(kelOnRiffStreamIsDone handler) { f_onStreamIsDone.set(std::move(handler)); }

    kelString _classID() const override { return u"kelRiffStream"; }

    // The largest file a RIFF size field describes (its size field holds
    // the file size - 8).
    static constexpr uint64_t kMaxRiffFileSize = uint64_t(0xFFFFFFFFu) + 8;

protected:
    // The chunk walk over `chunk` with kelRiffScan* flags; true to stop.
    bool scanChunk(kelRIFFChunk* chunk, uint32_t flags);
    // Fills the source chunk buffer from the data chunks; true when a whole
    // chunk is there. Reading thread.
    bool readNextChunk();
    // Copies up to `size` bytes of the data chunks into `buffer`; the bytes
    // copied. At the end of the data `readingIsDone` is set: with
    // `padWithSilence` the rest of the buffer is filled with silence (and
    // counted) or, with `loop`, reading goes on from the first data chunk;
    // without it the bytes read so far are all. Reading thread.
    uintptr_t readDataBytes(uint8_t* buffer, uintptr_t size, bool padWithSilence);
    // No data chunk, offset 0, position 0, history empty.
    void resetReadPosition();

    uint32_t afterOpen() override;
    void afterClose(uint32_t closeResult) override;
    bool headerDone(kelWaveHeader* header, bool reAdd) override;
    uintptr_t doWrite(const void* data, uintptr_t size) override;
    bool doFlush(bool waitForComplete) override;
    uintptr_t doGetPosition() override;
    void beforeDestruction() override;

    // Writing: appends samples to the file within the 4 GiB limit; the
    // bytes written.
    uintptr_t appendSamples(const void* data, uintptr_t size);
    // Writing: the header of a new file; false when it cannot be written.
    bool writeHeader();
    // Writing: the pad byte and both size fields, then the file is closed.
    void finishFile();

    // --- fields, in the system's order ---------------------------------------
    std::atomic<uintptr_t> f_realTimeFeedSize{0};
    std::atomic<intptr_t> f_status{kelRiffReading};
    std::atomic<uintptr_t> f_streamSize{0};
    std::atomic<uintptr_t> f_streamPos{0};
    uintptr_t f_streamPosHistory = 0;
    std::atomic<bool> f_readingIsDone{false};
    std::atomic<bool> f_streamIsDone{false};
    kelString f_fileName;
    std::atomic<uintptr_t> f_originalSize{0};
    uintptr_t f_dataSizeOfs = 0;
    kelFormatBlock f_riffSrcFormat;
    uintptr_t f_riffDstFormatTag = WAVE_FORMAT_PCM;
    std::vector<uint8_t> f_srcChunk;
    std::vector<uint8_t> f_dstChunk;
    std::atomic<bool> f_loop{false};
    kelRIFFChunk* f_dataChunk = nullptr;
    uintptr_t f_dataChunkOfs = 0;
    kelMsAcm* f_acm = nullptr; // not owned
    std::unique_ptr<kelRIFile> f_riff;
    kelOwned<kelMsAcmCodec> f_codec;
    std::vector<const kelRIFFChunk*> f_playbackHistory;
    std::atomic<intptr_t> f_fileType{kelRiffFileNone};
    std::unique_ptr<kelFileStream> f_riffStream;
    kelHandlerSlot<void(kelRiffStream*)> f_onStreamIsDone;

    std::atomic<bool> f_sizeLimitReached{false};
    bool f_headerWritten = false; // writing: the file holds a header to finish
    // Serialises appends from writers and the device thread with the
    // header and the size fix-up.
    std::mutex f_fileMutex;
    // Reading: the data chunks in file order (the history is always the
    // first of them), and whether the walk met a usable "fmt " chunk.
    std::vector<kelRIFFChunk*> f_dataChunks;
    bool f_formatFound = false;
    // Reading: the data chunks' bytes come through one block read ahead,
    // not one read of the file per chunk. Cleared with the read position
    // (every open starts from what the file holds then).
    kelRiffReadAhead f_readAhead;

    // The codec paths (kelRiffStreamCodec.cpp).
    // Reading: the codec for the source format; the status.
    intptr_t assignReadingCodec();
    // Writing: the codec from the source format to `dstFormatTag`; the status.
    intptr_t assignWritingCodec(uintptr_t dstFormatTag);
    // Opens the codec and takes its chunk sizes; the codec's result code.
    uint32_t openCodec();
    // Writing: what the input stream and the codec still hold goes to the
    // file; then the codec is closed.
    void closeCodec();
    // Reading: one destination chunk of decoded PCM in f_dstChunk (the
    // last one filled up with silence); false when nothing is left.
    bool readNextCodecChunk();
    // Reading: no more input for the codec and none of its output left.
    bool codecIsDrained() noexcept;
    // Reading: one cycle of the device thread through the codec.
    void readCycleThroughCodec();
    uintptr_t readDataThroughCodec(void* buf, uintptr_t maxSize);
    // Writing: `data` through the codec, its output appended to the file;
    // the bytes the codec took.
    uintptr_t writeThroughCodec(const void* data, uintptr_t size);
    void drainCodecToFile();

    // Serialises the writers' and the device thread's trips through the
    // codec, so its output reaches the file in the order it was made.
    std::mutex f_codecMutex;
    // Reading: the codec has had the whole data (and the end flag).
    bool f_codecInputDone = false;
    // Reading with `loop`: the file bytes and the codec's output of the
    // current pass over the data, to end a loop that yields nothing.
    uintptr_t f_codecPassBytes = 0;
    int64_t f_codecPassOutput = 0;

private:
    bool isWriting() const noexcept { return f_status.load() == kelRiffWriting; }
    bool inHistory(const kelRIFFChunk* chunk) const noexcept;
    // Makes the first data chunk not yet played current; false when none.
    bool nextDataChunk();
    bool stopAsked() noexcept;
    bool applyFormatChunk(kelRIFFChunk* chunk);
    uint8_t silenceByte() const noexcept;

    // The MPEG audio path (kelRiffStreamMpeg.cpp). assignMpeg takes the
    // file as MPEG audio; restartMpeg goes back to its first frame;
    // readMpegCycle delivers one chunk's budget of frames; readMpegFrame
    // passes the current frame to a passive reader; nextMpegFrame fetches
    // the next frame, marking the end when none comes.
    bool assignMpeg();
    bool restartMpeg();
    void readMpegCycle();
    uintptr_t readMpegFrame(void* buf, uintptr_t maxSize);
    bool nextMpegFrame();
    std::unique_ptr<kelRiffMpegState> f_mpegState;
};
