#include "audio/kelRiffStream.h"

#include "audio/kelRiffStreamMpeg.h"
#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"
#include "platform/kelPlatformThread.h"
#include "platform/kelWaveApi.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr intptr_t kCloseTimeout = 10012;
constexpr uintptr_t kWritingDelay = 10; // ms a non-real-time writer waits for input
constexpr uintptr_t kDoneDelay = 20;    // ms between cycles once a reader is done
constexpr int kFlushSleeps = 20;
constexpr int64_t kFlushSleepMs = 50;

void putLE32(uint8_t* p, uint32_t v) noexcept
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

bool blank(const kelString& text)
{
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c == u' ' || c == u'\t'; });
}

// The formats whose samples this device reads and writes as they are.
bool samplesAsTheyAre(const WAVEFORMATEX* format, size_t size) noexcept
{
    return formatIsPCM(format, size) || (formatIsFloat(format, size) && format->wBitsPerSample == 32);
}

} // namespace

// --- construction ----------------------------------------------------------------

kelRiffStream::kelRiffStream(const kelString& fileName, bool realTime, bool loop, kelMsAcm* acm)
    : kelWaveSoftwareDevice(realTime, true, 0), f_loop(loop), f_acm(acm)
{
    (void)assignRIFile(fileName);
}

kelRiffStream::kelRiffStream(ForWriting, const kelString& fileName, const WAVEFORMATEX* srcFormat,
                             uintptr_t dstFormatTag, kelMsAcm* acm)
    : kelWaveSoftwareDevice(false, false, 0), f_acm(acm)
{
    f_status.store(kelRiffWriting);
    (void)assignRIFileWriteSrc(fileName, srcFormat, dstFormatTag);
}

kelRiffStream::~kelRiffStream() = default;

kelRiffStream* kelRiffStream::create(const kelString& fileName, bool realTime, bool loop, kelMsAcm* acm)
{
    return kelCreate<kelRiffStream>(fileName, realTime, loop, acm);
}

kelRiffStream* kelRiffStream::createNew(const kelString& fileName, const WAVEFORMATEX* srcFormat,
                                        uintptr_t dstFormatTag, kelMsAcm* acm)
{
    return kelCreate<kelRiffStream>(ForWriting{}, fileName, srcFormat, dstFormatTag, acm);
}

void kelRiffStream::beforeDestruction()
{
    kelWaveSoftwareDevice::beforeDestruction();
    // A writer used without open/close (or one whose close failed) still
    // leaves a file whose sizes are right.
    finishFile();
    f_codec.reset();
    f_riff.reset();
}

// --- assigning a file --------------------------------------------------------------

intptr_t kelRiffStream::assignRIFile(const kelString& fileName)
{
    (void)close(kCloseTimeout);
    f_fileType.store(kelRiffFileNone);
    f_riff.reset();
    f_codec.reset();
    f_mpegState.reset();
    f_riffStream.reset();
    f_headerWritten = false;
    f_streamIsDone.store(false);
    f_readingIsDone.store(false);
    f_streamSize.store(0);
    f_sizeLimitReached.store(false);
    f_dataChunks.clear();
    resetReadPosition();
    f_fileName = fileName;
    f_formatFound = false;

    intptr_t result = kelRiffNotRiff;
    f_riff.reset(new (std::nothrow) kelRIFile(fileName));
    if (f_riff && f_riff->isValid()) {
        (void)scanChunk(f_riff->rootChunk(), kelRiffScanFormat | kelRiffScanAll);
        f_fileType.store(kelRiffFileRiff);
    }
    if (f_fileType.load() == kelRiffFileRiff) {
        f_originalSize.store(uintptr_t(f_riff->dataSize64()));
        const WAVEFORMATEX* format = f_srcFormatExt.format();
        if (!f_formatFound || format == nullptr) {
            // A RIFF file without a usable "fmt " chunk has no chunk size:
            // reading it would deliver empty chunks for ever.
            result = kelRiffNotRiff;
        } else if (samplesAsTheyAre(format, f_srcFormatExt.size())) {
            // A format whose chunk comes to nothing cannot be read either.
            result = doSetFormat(false, format, f_srcFormatExt.size()) && chunkSize() != 0 ? kelRiffReading
                                                                                           : kelRiffNotRiff;
        } else {
            result = assignReadingCodec();
        }
    } else {
        // Not a RIFF tree: perhaps MPEG audio.
        f_riff.reset();
        if (assignMpeg()) result = kelRiffReading;
    }
    f_status.store(result);
    return result;
}

intptr_t kelRiffStream::assignRIFileWriteSrc(const kelString& fileName, const WAVEFORMATEX* srcFormat,
                                             uintptr_t dstFormatTag)
{
    (void)close(kCloseTimeout);
    finishFile();
    f_codec.reset();
    f_riffStream.reset();
    f_riff.reset();
    f_mpegState.reset();
    f_fileType.store(kelRiffFileNone);
    f_streamSize.store(0);
    f_sizeLimitReached.store(false);
    f_fileName = fileName;
    f_riffDstFormatTag = dstFormatTag;
    f_riffSrcFormat.reset();

    intptr_t result = kelRiffWriting;
    // The whole source record is kept, not only its rate, bits and channels:
    // a float or extensible source must be written as what it is.
    if (srcFormat == nullptr ||
        duplicateFormat(srcFormat, sizeof(WAVEFORMATEX) + srcFormat->cbSize, f_riffSrcFormat) == 0 ||
        !doSetFormat(true, f_riffSrcFormat.format(), f_riffSrcFormat.size())) {
        result = kelRiffWriteCannotConvert;
    } else if (dstFormatTag != WAVE_FORMAT_PCM) {
        result = assignWritingCodec(dstFormatTag);
    } else if (!doSetFormat(false, f_riffSrcFormat.format(), f_riffSrcFormat.size())) {
        result = kelRiffWriteCannotConvert;
    }
    if (result == kelRiffWriting && blank(fileName)) {
        result = kelRiffWriteNoFileName;
    } else if (result == kelRiffWriting) {
        f_riffStream.reset(new (std::nothrow) kelFileStream(1000));
        if (!f_riffStream || !f_riffStream->initStream(fileName, O_RDWR)) result = kelRiffWriteNoFileName;
    }
    f_status.store(result);
    return result;
}

// --- the chunk walk -----------------------------------------------------------------

bool kelRiffStream::applyFormatChunk(kelRIFFChunk* chunk)
{
    const uint8_t* body = chunk->loadDataBuf(-1);
    const size_t bodySize = size_t(chunk->dataBufSize());
    if (body == nullptr || bodySize < 16) return false;
    // A 16-byte record has no cbSize: it is 0, not whatever follows the
    // chunk. A longer one is copied with the cbSize bytes it names (zeros
    // where the chunk ends first).
    kelFormatBlock padded;
    if (!padded.resize(std::max(bodySize, sizeof(WAVEFORMATEX)))) return false;
    std::memcpy(padded.data(), body, bodySize);
    chunk->releaseDataBuf();
    kelFormatBlock record;
    if (duplicateFormat(padded.format(), padded.size(), record) == 0) return false;

    kelFormatBlock current;
    const WAVEFORMATEX* mine = f_srcFormatExt.format();
    if (mine != nullptr && formatExtToFormat(mine, f_srcFormatExt.size(), current, true) &&
        sameFormat(current.format(), current.size(), record.format(), record.size())) {
        f_formatFound = true;
        return true;
    }
    if (!doSetFormat(true, record.format(), record.size())) return false;
    f_formatFound = true;
    return true;
}

bool kelRiffStream::scanChunk(kelRIFFChunk* chunk, uint32_t flags)
{
    if (chunk == nullptr) return false;
    if (chunk->isContainer()) {
        for (intptr_t i = 0; i < chunk->getSubChunkCount(); ++i)
            if (scanChunk(chunk->getSubChunk(i), flags) && (flags & kelRiffScanAll) == 0) return true;
        return false;
    }
    if (chunk->isID("fmt ") && chunk->headerSize() >= 16) {
        if ((flags & kelRiffScanFormat) != 0 && !f_formatFound) return applyFormatChunk(chunk);
        return false;
    }
    if (chunk->isID("fact") && chunk->dataSize64() >= 4) {
        uint8_t bytes[4];
        if (chunk->readBuf(0, bytes, 4) == 4)
            f_originalSize.store(uintptr_t(bytes[0]) | uintptr_t(bytes[1]) << 8 | uintptr_t(bytes[2]) << 16 |
                                 uintptr_t(bytes[3]) << 24);
        return false;
    }
    if (chunk->isID("data")) {
        if ((flags & kelRiffScanAll) != 0) {
            f_streamSize.fetch_add(uintptr_t(chunk->dataSize64()));
            f_dataChunks.push_back(chunk);
        }
        if ((flags & kelRiffScanNextData) != 0 && !inHistory(chunk)) {
            f_dataChunk = chunk;
            return true;
        }
    }
    return false;
}

bool kelRiffStream::inHistory(const kelRIFFChunk* chunk) const noexcept
{
    return std::find(f_playbackHistory.begin(), f_playbackHistory.end(), chunk) != f_playbackHistory.end();
}

bool kelRiffStream::nextDataChunk()
{
    // Data chunks are played in file order and the history is always the
    // first of them, so the next unplayed one is the one after the
    // history: no walk over the whole tree per chunk.
    f_dataChunk = nullptr;
    f_dataChunkOfs = 0;
    const size_t played = f_playbackHistory.size();
    if (played < f_dataChunks.size()) f_dataChunk = f_dataChunks[played];
    return f_dataChunk != nullptr;
}

// --- reading -------------------------------------------------------------------------

void kelRiffStream::resetReadPosition()
{
    f_dataChunk = nullptr;
    f_dataChunkOfs = 0;
    f_streamPos.store(0);
    f_streamPosHistory = 0;
    f_playbackHistory.clear();
    f_readAhead.clear();
}

uint8_t kelRiffStream::silenceByte() const noexcept
{
    const WAVEFORMATEX* format = f_srcFormatExt.format();
    return format != nullptr && format->wBitsPerSample == 8 ? 0x80 : 0;
}

bool kelRiffStream::stopAsked() noexcept
{
    // Only a running device thread is ever asked to stop; a passive reader
    // must not see a request left over from an earlier run.
    return bodyActive() && shouldStop();
}

bool kelRiffStream::readNextChunk()
{
    const uintptr_t chunk = chunkSize();
    if (chunk == 0 || f_srcChunk.size() < chunk) return false;
    return readDataBytes(f_srcChunk.data(), chunk, true) == chunk;
}

uintptr_t kelRiffStream::readDataBytes(uint8_t* buffer, uintptr_t chunk, bool padWithSilence)
{
    if (f_dataChunk == nullptr) {
        // No data left (or none at all): reading is over.
        f_readingIsDone.store(true);
        return 0;
    }
    uintptr_t filled = 0;
    bool restarted = false;
    uintptr_t sinceRestart = 0;
    while (!stopAsked() && f_dataChunk != nullptr && filled < chunk) {
        const int64_t available = std::max<int64_t>(f_dataChunk->dataSize64() - int64_t(f_dataChunkOfs), 0);
        const intptr_t want = intptr_t(std::min<int64_t>(available, int64_t(chunk - filled)));
        const intptr_t got =
            want > 0 ? std::max<intptr_t>(
                           f_readAhead.read(f_dataChunk, int64_t(f_dataChunkOfs), buffer + filled, want), 0)
                     : 0;
        f_dataChunkOfs += uintptr_t(got);
        filled += uintptr_t(got);
        sinceRestart += uintptr_t(got);
        f_streamPos.store(f_streamPosHistory + f_dataChunkOfs);
        if (filled >= chunk) break;

        // This data chunk is exhausted (or the file ended early): go on
        // with the next one.
        try {
            f_playbackHistory.push_back(f_dataChunk);
        } catch (...) {
            f_dataChunk = nullptr;
            break;
        }
        f_streamPosHistory += f_dataChunkOfs;
        if (nextDataChunk()) continue;
        if (!padWithSilence) {
            // The caller decides what follows the end of the data.
            f_readingIsDone.store(true);
            break;
        }

        // A looping reader over data chunks that hold nothing would go
        // round for ever: a whole pass without a byte ends it.
        if (!f_loop.load() || (restarted && sinceRestart == 0)) {
            // The last bytes are made a whole chunk with silence; when the
            // data ended on a chunk boundary there is nothing to deliver.
            if (filled > 0) {
                std::memset(buffer + filled, silenceByte(), chunk - filled);
                filled = chunk;
            }
            f_readingIsDone.store(true);
            break;
        }
        if (restarted) {
            // The last `sinceRestart` bytes are the whole data, read from its
            // start: repeat them instead of reading the file once per pass,
            // so a chunk far larger than the data costs one pass, not
            // thousands.
            const uintptr_t period = sinceRestart;
            const uintptr_t start = filled - period;
            uintptr_t block = period;
            while (chunk - filled >= period) {
                const uintptr_t n = std::min(block, (chunk - filled) / period * period);
                std::memcpy(buffer + filled, buffer + start, n);
                filled += n;
                block += n;
            }
        }
        resetReadPosition();
        (void)nextDataChunk();
        restarted = true;
        sinceRestart = 0;
    }
    return filled;
}

void kelRiffStream::setStreamPosition(uintptr_t value)
{
    const uintptr_t chunk = chunkSize();
    if (chunk != 0) value -= value % chunk;
    if (f_dataChunk == nullptr) {
        f_dataChunkOfs = 0;
        f_streamPos.store(f_streamPosHistory);
        return;
    }
    // Held at the end of the data: past it there is nothing to read.
    const uintptr_t end = uintptr_t(f_dataChunk->dataSize64());
    f_dataChunkOfs = std::min(value, end);
    f_streamPos.store(f_streamPosHistory + f_dataChunkOfs);
}

uint32_t kelRiffStream::passiveOpen()
{
    return afterOpen();
}

uintptr_t kelRiffStream::readData(void* buf, uintptr_t maxSize)
{
    if (f_codec) return readDataThroughCodec(buf, maxSize);
    if (buf != nullptr && f_fileType.load() == kelRiffFileMpeg) return readMpegFrame(buf, maxSize);
    if (buf == nullptr || !readNextChunk()) return 0;
    const uintptr_t n = std::min(maxSize, chunkSize());
    std::memcpy(buf, f_srcChunk.data(), n);
    return n;
}

uintptr_t kelRiffStream::doGetPosition()
{
    return isWriting() ? f_streamSize.load() : f_streamPos.load();
}

// --- open and close ----------------------------------------------------------------------

uint32_t kelRiffStream::afterOpen()
{
    const intptr_t status = f_status.load();
    if (status != kelRiffReading && status != kelRiffWriting) return MMSYSERR_INVALPARAM;
    f_readingIsDone.store(false);
    f_streamIsDone.store(false);
    f_realTimeFeedSize.store(0);
    resetReadPosition();
    if (status == kelRiffReading) (void)nextDataChunk();
    if (f_codec) {
        const uint32_t result = openCodec();
        if (result != MMSYSERR_NOERROR) return result;
    }
    if (status == kelRiffReading && f_fileType.load() == kelRiffFileMpeg && !restartMpeg())
        return MMSYSERR_INVALPARAM;
    try {
        f_srcChunk.assign(chunkSize(), 0);
        f_dstChunk.assign(dstChunkSize() != 0 ? dstChunkSize() : chunkSize(), 0);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
    if (!f_realtime.load()) f_nonrealTimeDelay.store(status == kelRiffWriting ? kWritingDelay : 0);
    if (status == kelRiffWriting) {
        f_streamSize.store(0);
        f_sizeLimitReached.store(false);
        if (!writeHeader()) {
            if (f_codec) (void)f_codec->close(kCloseTimeout);
            return MMSYSERR_INVALPARAM;
        }
    }
    return kelWaveSoftwareDevice::afterOpen();
}

void kelRiffStream::afterClose(uint32_t closeResult)
{
    kelWaveSoftwareDevice::afterClose(closeResult);
    if (f_codec) closeCodec();
    if (isWriting()) finishFile();
}

bool kelRiffStream::writeHeader()
{
    std::lock_guard<std::mutex> guard(f_fileMutex);
    f_headerWritten = false;
    if (!f_riffStream || !f_riffStream->initStream(f_fileName, O_RDWR)) return false;
    f_riffStream->clear();

    // The plain record where it says everything (at most two channels in a
    // plain layout), the extensible one otherwise.
    const WAVEFORMATEX* dst = f_dstFormatExt.format();
    if (dst == nullptr) return false;
    kelFormatBlock plain;
    const uint8_t* record = f_dstFormatExt.data();
    size_t recordSize = sizeof(WAVEFORMATEX) + dst->cbSize;
    if (dst->nChannels <= 2 && formatExtToFormat(dst, f_dstFormatExt.size(), plain, false) &&
        plain.format()) {
        record = plain.data();
        recordSize = plain.format()->wFormatTag == WAVE_FORMAT_PCM
                         ? 16
                         : sizeof(WAVEFORMATEX) + plain.format()->cbSize;
    }
    recordSize = std::min(recordSize, record == plain.data() ? plain.size() : f_dstFormatExt.size());

    std::string header = "RIFF";
    header.append(4, '\0');
    header += "WAVEfmt ";
    uint8_t size[4];
    putLE32(size, uint32_t(recordSize));
    header.append(reinterpret_cast<const char*>(size), 4);
    header.append(reinterpret_cast<const char*>(record), recordSize);
    if (recordSize & 1) header.push_back('\0');
    header += "data";
    f_dataSizeOfs = header.size();
    header.append(4, '\0');
    if (f_riffStream->write(header.data(), intptr_t(header.size())) != intptr_t(header.size())) return false;
    f_headerWritten = true;
    return true;
}

uintptr_t kelRiffStream::appendSamples(const void* data, uintptr_t size)
{
    if (data == nullptr || size == 0) return 0;
    std::lock_guard<std::mutex> guard(f_fileMutex);
    if (!f_headerWritten || !f_riffStream) return 0;
    const uint64_t written = f_streamSize.load();
    const uint64_t total = written + size;
    const uint64_t fileSize = uint64_t(f_dataSizeOfs) + 4 + total + (total & 1);
    if (fileSize > kMaxRiffFileSize) {
        f_sizeLimitReached.store(true);
        return 0;
    }
    const intptr_t n = f_riffStream->write(data, intptr_t(size));
    if (n <= 0) return 0;
    f_streamSize.fetch_add(uintptr_t(n));
    return uintptr_t(n);
}

void kelRiffStream::finishFile()
{
    std::lock_guard<std::mutex> guard(f_fileMutex);
    if (!f_headerWritten || !f_riffStream) return;
    f_headerWritten = false;
    const uint32_t dataSize = uint32_t(f_streamSize.load());
    // An odd data chunk gets its pad byte, so a chunk written after it by
    // another tool starts where readers look for it.
    if (dataSize & 1) (void)f_riffStream->write("\0", 1);
    const int64_t fileSize = f_riffStream->getSize();
    uint8_t field[4];
    putLE32(field, uint32_t(std::clamp<int64_t>(fileSize - 8, 0, 0xFFFFFFFF)));
    f_riffStream->seek(4);
    (void)f_riffStream->write(field, 4);
    putLE32(field, dataSize);
    f_riffStream->seek(intptr_t(f_dataSizeOfs));
    (void)f_riffStream->write(field, 4);
    f_riffStream->close();
}

// --- the device thread and writes ----------------------------------------------------------

bool kelRiffStream::headerDone(kelWaveHeader* header, bool reAdd)
{
    if (!kelWaveSoftwareDevice::headerDone(header, reAdd)) return false;
    const uintptr_t chunk = chunkSize();
    if (isWriting()) {
        if (chunk != 0 && f_srcChunk.size() >= chunk) {
            const uintptr_t n = readFromInStream(f_srcChunk.data(), chunk, f_srcFormatExt.format());
            if (n != 0)
                (void)(f_codec ? writeThroughCodec(f_srcChunk.data(), n)
                               : appendSamples(f_srcChunk.data(), n));
        }
    } else if (f_status.load() == kelRiffReading && f_fileType.load() != kelRiffFileNone) {
        if (f_fileType.load() == kelRiffFileMpeg) {
            readMpegCycle();
        } else if (f_codec) {
            readCycleThroughCodec();
        } else if (readNextChunk()) {
            f_streamIsDone.store(f_readingIsDone.load());
            (void)deliverChunk(f_srcChunk.data(), chunk, f_srcFormatExt.format());
        } else {
            f_streamIsDone.store(true);
        }
        if (f_streamIsDone.load()) {
            if (!f_realtime.load() && f_nonrealTimeDelay.load() == 0) f_nonrealTimeDelay.store(kDoneDelay);
            if (auto handler = f_onStreamIsDone.get()) (*handler)(this);
        }
    }
    cycleDone(header);
    return true;
}

uintptr_t kelRiffStream::doWrite(const void* data, uintptr_t size)
{
    if (!isWriting()) return kelWaveSoftwareDevice::doWrite(data, size);
    const uintptr_t n = f_codec ? writeThroughCodec(data, size) : appendSamples(data, size);
    // Gives the device thread and other writers a turn between chunks.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return n;
}

bool kelRiffStream::doFlush(bool waitForComplete)
{
    if (!isWriting()) return true;
    kelAbstractStream* in = inStream();
    if (in == nullptr) return true;
    if (!waitForComplete) {
        in->clear();
        return true;
    }
    f_nonrealTimeDelay.store(0);
    const bool onDeviceThread = bodyActive() && getThreadId() == kelCurrentThreadId();
    int idle = 0;
    uintptr_t last = getDataAvailable(true);
    while (!onDeviceThread && bodyActive() && getDataAvailable(true) > chunkSize() && idle < kFlushSleeps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kFlushSleepMs));
        const uintptr_t now = getDataAvailable(true);
        idle = now < last ? 0 : idle + 1;
        last = now;
    }
    return true;
}
