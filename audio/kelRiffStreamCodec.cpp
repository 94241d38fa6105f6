// kelRiffStream: the paths of compressed WAV data through a codec device.
//
// Reading: the codec decodes the data chunks, which it gets as the file
// holds them (never padded: a padding byte would decode as a sample, and
// the PCM silence byte 0x80 is full scale in mu-law). At the end of the
// data the codec converts what it still holds with the end flag, and the
// last PCM chunk is filled up with PCM silence. Each reading step hands on
// one destination chunk (the PCM side at the chunk rate), so the real-time
// timer, which ticks at the chunk rate, paces decoded audio as it paces
// PCM files.
//
// Writing: what is written goes through the codec and its output is
// appended to the file; close converts what the codec still holds (end
// flag) and writes it before the size fields are fixed.

#include "audio/kelMsAcm.h"
#include "audio/kelRiffStream.h"
#include "audio/kelWaveFormatRoutines.h"
#include "core/kelCreate.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr intptr_t kCodecOpenTimeout = 10002;
constexpr intptr_t kCodecCloseTimeout = 10012;

} // namespace

// --- assigning --------------------------------------------------------------------

intptr_t kelRiffStream::assignReadingCodec()
{
    if (f_acm == nullptr) return kelRiffNoAcm;
    kelFormatBlock plain;
    if (!formatExtToFormat(f_srcFormatExt.format(), f_srcFormatExt.size(), plain, true) || !plain.format())
        return kelRiffNoDriver;
    kelMsAcmDriver* driver = f_acm->getDriverByFormatTag(plain.format()->wFormatTag);
    if (driver == nullptr) return kelRiffNoDriver;
    f_codec.reset(kelCreate<kelMsAcmCodec>(driver, false, 0, f_realtime.load(), kelcdm_acm));
    // The codec's PCM side becomes the destination: chunks come out as PCM.
    if (!f_codec || !f_codec->setFormatSuggest(false, plain.format(), plain.size()) ||
        !doSetFormat(false, f_codec->dstFormatBlock().format(), f_codec->dstFormatBlock().size()) ||
        dstChunkSize() == 0) {
        f_codec.reset();
        return kelRiffNoPcmFormat;
    }
    return kelRiffReading;
}

intptr_t kelRiffStream::assignWritingCodec(uintptr_t dstFormatTag)
{
    kelMsAcmDriver* driver = f_acm != nullptr && dstFormatTag <= 0xFFFF
                                 ? f_acm->getDriverByFormatTag(uint32_t(dstFormatTag))
                                 : nullptr;
    if (driver == nullptr) return kelRiffWriteNoAcm;
    // The drivers take plain PCM records; an extensible source of at most
    // two channels says the same in the plain form.
    kelFormatBlock plain;
    f_codec.reset(kelCreate<kelMsAcmCodec>(driver, false, 0, f_realtime.load(), kelcdm_acm));
    if (!f_codec || !formatExtToFormat(f_riffSrcFormat.format(), f_riffSrcFormat.size(), plain, true) ||
        !f_codec->setPcmFormatSuggest(true, plain.format(), uint32_t(dstFormatTag)) ||
        !doSetFormat(false, f_codec->dstFormatBlock().format(), f_codec->dstFormatBlock().size())) {
        f_codec.reset();
        return kelRiffWriteCannotConvert;
    }
    return kelRiffWriting;
}

// --- open and close ------------------------------------------------------------------

uint32_t kelRiffStream::openCodec()
{
    // A codec left open by an earlier passive use starts afresh: nothing
    // pending from the old position, the start flag on the first chunk.
    if (f_codec->isOpen()) (void)f_codec->close(kCodecCloseTimeout);
    const uint32_t result = f_codec->open(false, kCodecOpenTimeout, 0, true);
    if (result != MMSYSERR_NOERROR) return result;
    // The codec converts whole chunks of its own size: the file is read
    // (or the input taken) in those.
    f_chunkSize.store(f_codec->chunkSize());
    if (isWriting()) f_dstChunkSize.store(f_codec->dstChunkSize());
    f_codecInputDone = false;
    f_codecPassBytes = 0;
    f_codecPassOutput = f_codec->outBytes();
    return MMSYSERR_NOERROR;
}

void kelRiffStream::closeCodec()
{
    if (isWriting()) {
        std::lock_guard<std::mutex> guard(f_codecMutex);
        // The device thread has stopped: what it had not taken from the
        // input stream yet is written too.
        const uintptr_t chunk = std::min<uintptr_t>(chunkSize(), f_srcChunk.size());
        while (chunk > 0 && getDataAvailable(true) > 0) {
            const uintptr_t n = readFromInStream(f_srcChunk.data(), chunk, f_srcFormatExt.format());
            if (n == 0) break;
            (void)f_codec->write(f_srcChunk.data(), n);
            drainCodecToFile();
        }
        // The tail shorter than a chunk, and what the encoder holds back.
        (void)f_codec->flush(true);
        drainCodecToFile();
    }
    (void)f_codec->close(kCodecCloseTimeout);
}

// --- reading -----------------------------------------------------------------------

bool kelRiffStream::readNextCodecChunk()
{
    const uintptr_t out = dstChunkSize();
    const uintptr_t in = chunkSize();
    if (!f_codec || out == 0 || in == 0 || f_dstChunk.size() < out || f_srcChunk.size() < in) return false;
    while (!stopAsked() && !f_codecInputDone && f_codec->getDataAvailable(false) < out) {
        const uintptr_t n = readDataBytes(f_srcChunk.data(), in, false);
        f_codecPassBytes += n;
        if (n > 0 && f_codec->write(f_srcChunk.data(), n) != n) {
            // The codec is closed or failed: nothing more comes out of it.
            f_codecInputDone = true;
            break;
        }
        if (!f_readingIsDone.load()) continue;

        // The data is exhausted. Without looping the codec converts what it
        // holds with the end flag. With looping a last partial block is
        // converted the same way, so the next pass starts on a block of its
        // own; whole blocks run on into the next pass seamlessly.
        const bool looping = f_loop.load();
        const bool flushed = !looping || f_codec->pendingSize() > 0;
        if (flushed) (void)f_codec->flush(true);
        // A loop whose whole pass read or decoded nothing ends here instead
        // of going round for ever.
        if (!looping || f_codecPassBytes == 0 || f_codec->outBytes() <= f_codecPassOutput) {
            if (!flushed) (void)f_codec->flush(true);
            f_codecInputDone = true;
            break;
        }
        resetReadPosition();
        (void)nextDataChunk();
        f_readingIsDone.store(false);
        f_codecPassBytes = 0;
        f_codecPassOutput = f_codec->outBytes();
    }
    const uintptr_t available = f_codec->getDataAvailable(false);
    const uintptr_t got = available > 0 ? f_codec->read(f_dstChunk.data(), std::min(available, out)) : 0;
    if (got == 0) return false;
    const WAVEFORMATEX* pcm = f_dstFormatExt.format();
    std::memset(f_dstChunk.data() + got, pcm != nullptr && pcm->wBitsPerSample == 8 ? 0x80 : 0, out - got);
    return true;
}

bool kelRiffStream::codecIsDrained() noexcept
{
    return f_codecInputDone && f_codec && f_codec->getDataAvailable(false) == 0;
}

void kelRiffStream::readCycleThroughCodec()
{
    if (readNextCodecChunk()) {
        f_streamIsDone.store(codecIsDrained());
        (void)deliverChunk(f_dstChunk.data(), dstChunkSize(), f_dstFormatExt.format());
    } else {
        f_streamIsDone.store(true);
    }
}

uintptr_t kelRiffStream::readDataThroughCodec(void* buf, uintptr_t maxSize)
{
    if (buf == nullptr || !readNextCodecChunk()) return 0;
    const uintptr_t n = std::min(maxSize, dstChunkSize());
    std::memcpy(buf, f_dstChunk.data(), n);
    return n;
}

// --- writing ----------------------------------------------------------------------

uintptr_t kelRiffStream::writeThroughCodec(const void* data, uintptr_t size)
{
    std::lock_guard<std::mutex> guard(f_codecMutex);
    const uintptr_t taken = f_codec->write(data, size);
    drainCodecToFile();
    return taken;
}

void kelRiffStream::drainCodecToFile()
{
    const uintptr_t piece = f_dstChunk.size();
    if (piece == 0) return;
    // What does not fit under the 4 GiB limit is dropped
    // (sizeLimitReached), so the codec's output never piles up.
    for (uintptr_t n; (n = f_codec->read(f_dstChunk.data(), piece)) > 0;)
        (void)appendSamples(f_dstChunk.data(), n);
}
