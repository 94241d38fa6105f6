// kelMsAcmCodec: formats, opening and closing, the write path and the
// thread body. The back ends' calls are in kelMsAcmCodecBackend.cpp.

#include "audio/kelMsAcmCodec.h"

#include "audio/kelMsAcmDriver.h"
#include "audio/kelWaveFormatRoutines.h"
#include "codecs/kelOpenH323Plugin.h"
#include "core/kelUtf.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr intptr_t kWriteLockTimeout = 100;
constexpr intptr_t kLockTimeout = 1000;
constexpr intptr_t kCloseTimeout = 10012;
constexpr int64_t kIdleWait = 1000;
// Format records a driver suggests into: at least the header, at most 64 KiB.
constexpr size_t kMaxSuggestRecord = 64 * 1024;
constexpr size_t kDefaultSuggestRecord = 200;
// A back end emptying what it holds gets the same bytes again, and a final
// flush drains it with empty conversions: a bounded number in a row at most.
constexpr int kMaxDrainConversions = 64;

size_t recordSize(const WAVEFORMATEX* format, size_t formatSize) noexcept
{
    if (formatSize) return formatSize;
    return format ? sizeof(WAVEFORMATEX) + format->cbSize : 0;
}

} // namespace

kelMsAcmCodec::kelMsAcmCodec(kelMsAcmDriver* driver, bool realtime, uintptr_t overNum, bool highPriority,
                             kelAcmCodecDriverMode driverMode)
    : kelMsAcmStreamDevice(true, true, overNum, overNum, false), f_driver(driver), f_driverMode(driverMode),
      f_highPriority(highPriority)
{
    f_realtime.store(realtime);
}

kelMsAcmCodec::~kelMsAcmCodec() = default;

void kelMsAcmCodec::beforeDestruction()
{
    kelMsAcmStreamDevice::beforeDestruction();
    f_oH323codec.reset();
}

// --- properties -----------------------------------------------------------------

kelString kelMsAcmCodec::driverLibrary() const
{
    kelLock lock(const_cast<kelMsAcmCodec*>(this), true, kLockTimeout);
    if (!lock) return {};
    return f_driverLibrary;
}

void kelMsAcmCodec::setDriverLibrary(const kelString& value)
{
    {
        kelLock lock(this, false, kLockTimeout);
        if (!lock || value == f_driverLibrary) return;
        f_driverLibrary = value;
    }
    if (f_driverMode.load() != kelcdm_openH323plugin) return;
    if (f_oH323codec) {
        close(kCloseTimeout);
        f_oH323codec.reset();
    }
    f_oH323codecOldIndex = 0;
    f_oH323codec.reset(kelCreate<kel_openH323plugin>(value, kelThreadPriorityNormal));
    if (f_oH323codec && f_oH323codec->errorCode() != kelEncoderOK) {
        f_handle.store(0);
        f_oH323codec.reset();
    }
}

const PluginCodec_Definition* kelMsAcmCodec::getoH323pluginDesc(intptr_t index) const noexcept
{
    kel_openH323plugin* plugin = f_oH323codec.get();
    if (!plugin) return nullptr;
    if (index < 0) index = plugin->codecIndex();
    return index < 0 ? nullptr : plugin->getCodecDef(index);
}

// --- formats ------------------------------------------------------------------------

bool kelMsAcmCodec::setFormatSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t formatSize)
{
    formatSize = recordSize(format, formatSize);
    if (!format || formatSize < sizeof(WAVEFORMATEX)) return false;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
    case kelcdm_installable:
        return acmSuggest(isSrcPCM, format, formatSize);
    case kelcdm_openH323plugin:
        return pluginSuggest(isSrcPCM, format, formatSize);
    default:
        return false;
    }
}

bool kelMsAcmCodec::acmSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t formatSize)
{
    kelMsAcmDriver* driver = f_driver.load();
    if (!driver) return false;
    if (!doSetFormat(!isSrcPCM, format, formatSize)) return false;
    const kelFormatBlock& stored = isSrcPCM ? f_dstFormatExt : f_srcFormatExt;
    kelFormatBlock plain;
    if (!formatExtToFormat(stored.format(), stored.size(), plain, true)) return false;
    // Rate and channels follow the compressed side; the driver picks the
    // sample size.
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    if (driver->suggestCodecFormat(plain.format(), plain.size(), &pcm, sizeof pcm,
                                   ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return false;
    pcm.cbSize = 0;
    return doSetFormat(isSrcPCM, &pcm, sizeof pcm);
}

bool kelMsAcmCodec::setPcmFormatSuggest(bool isSrcPCM, const WAVEFORMATEX* pcmFormat, uint32_t formatTag)
{
    if (!pcmFormat) return false;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
    case kelcdm_installable:
        return acmPcmSuggest(isSrcPCM, pcmFormat, formatTag);
    case kelcdm_openH323plugin: {
        WAVEFORMATEX record{};
        record.wFormatTag = uint16_t(formatTag);
        return setFormatSuggest(isSrcPCM, &record, sizeof record);
    }
    default:
        return false;
    }
}

bool kelMsAcmCodec::setPcmFormatSuggest(bool isSrcPCM, uint32_t samplesPerSec, uint16_t bitsPerSample,
                                        uint16_t numChannels, uint32_t formatTag)
{
    WAVEFORMATEX pcm{};
    fillPCMFormat(&pcm, samplesPerSec, bitsPerSample, numChannels);
    return setPcmFormatSuggest(isSrcPCM, &pcm, formatTag);
}

bool kelMsAcmCodec::acmPcmSuggest(bool isSrcPCM, const WAVEFORMATEX* pcmFormat, uint32_t formatTag)
{
    kelMsAcmDriver* driver = f_driver.load();
    if (!driver) return false;
    // The driver's largest record, else the manager's, else a default; a
    // metric below the header would make a record too short to be one.
    uint32_t size = uint32_t(driver->maxWaveFormatSize());
    if (size == 0 && acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != MMSYSERR_NOERROR) size = 0;
    if (size == 0) size = kDefaultSuggestRecord;
    const size_t recordBytes = std::clamp<size_t>(size, sizeof(WAVEFORMATEX), kMaxSuggestRecord);
    std::vector<uint8_t> block(recordBytes, 0);
    auto* suggested = reinterpret_cast<WAVEFORMATEX*>(block.data());
    suggested->cbSize = uint16_t(recordBytes - sizeof(WAVEFORMATEX));
    uint32_t flags = 0;
    if (formatTag != 0) {
        suggested->wFormatTag = uint16_t(formatTag);
        flags = ACM_FORMATSUGGESTF_WFORMATTAG;
    }
    if (driver->suggestCodecFormat(pcmFormat, sizeof(WAVEFORMATEX), suggested, recordBytes, flags) !=
        MMSYSERR_NOERROR)
        return false;
    // The driver's cbSize may not run past the block.
    const size_t suggestedSize = std::min(recordBytes, sizeof(WAVEFORMATEX) + size_t(suggested->cbSize));
    suggested->cbSize = uint16_t(suggestedSize - sizeof(WAVEFORMATEX));
    return doSetFormat(isSrcPCM, pcmFormat, sizeof(WAVEFORMATEX)) &&
           doSetFormat(!isSrcPCM, suggested, suggestedSize);
}

bool kelMsAcmCodec::pluginSuggest(bool isSrcPCM, const WAVEFORMATEX* format, size_t)
{
    kel_openH323plugin* plugin = f_oH323codec.get();
    if (!plugin) return false;
    // A tag names a pair of definitions: an encoder and its decoder.
    const intptr_t pair = 2 * intptr_t(format->wFormatTag);
    const intptr_t index = (isSrcPCM && plugin->isEncoder(pair)) ? pair : pair + 1;
    const PluginCodec_Definition* def = plugin->getCodecDef(index);
    if (!def || plugin->isEncoder(index) != isSrcPCM) return false;
    if (plugin->selectCodec(index) != kelEncoderOK) return false;
    WAVEFORMATEX pcm{};
    fillPCMFormat(&pcm, def->sampleRate, 16, 1);
    if (!doSetFormat(true, &pcm, sizeof pcm) || !doSetFormat(false, &pcm, sizeof pcm)) return false;
    const char* name = isSrcPCM ? def->destFormat : def->sourceFormat;
    kelLock lock(this, false, kLockTimeout);
    if (lock && name) (isSrcPCM ? f_dstFormatInfo : f_srcFormatInfo) = utf8ToUtf16(name);
    return true;
}

// --- open and close -------------------------------------------------------------------

uint32_t kelMsAcmCodec::doOpen(bool query, intptr_t timeout, uint32_t flags, bool startDevice)
{
    if (flags == 0) {
        if (!f_realtime.load()) flags |= ACM_STREAMOPENF_NONREALTIME;
        if (query) flags |= ACM_STREAMOPENF_QUERY;
    }
    return kelMsAcmStreamDevice::doOpen(query, timeout, flags, startDevice);
}

uint32_t kelMsAcmCodec::doOpenHandle(uint32_t flags)
{
    uint32_t result = kelMsAcmStreamDevice::doOpenHandle(flags);
    if (result != MMSYSERR_NOERROR) return result;
    f_openSrc.reset();
    f_openDst.reset();
    if (!formatExtToFormat(f_srcFormatExt.format(), f_srcFormatExt.size(), f_openSrc, true) ||
        !formatExtToFormat(f_dstFormatExt.format(), f_dstFormatExt.size(), f_openDst, true))
        return MMSYSERR_INVALPARAM;

    result = openStream(flags);
    const bool query = (flags & ACM_STREAMOPENF_QUERY) != 0;
    if (result == MMSYSERR_NOERROR && !query) {
        f_deviceEvent.setState(true);
        if (!negotiateChunks()) {
            // No write could work with such a chunk: it would loop for ever
            // or allocate without bound.
            (void)closeStream();
            f_handle.store(0);
            result = MMSYSERR_INVALPARAM;
        } else {
            f_inOverSize.store(f_inOverCN.load() * f_chunkSize.load());
            f_outOverSize.store(f_outOverCN.load() * f_dstChunkSize.load());
            f_inProgress.store(0);
        }
    }
    f_subBuf.clear();
    f_flags = kOpenFlags;
    f_subSize.store(0);
    f_header = nullptr;
    f_acmHeader = nullptr;
    return result;
}

bool kelMsAcmCodec::negotiateChunks()
{
    const WAVEFORMATEX* src = f_openSrc.format();
    const WAVEFORMATEX* dst = f_openDst.format();
    const bool srcPCM = formatIsPCM(src, f_openSrc.size());
    uintptr_t chunk = f_chunkSize.load();
    uintptr_t dstChunk = f_dstChunkSize.load();
    uintptr_t answer = 0;

    if (srcPCM) {
        if (convertSize(dstChunk, ACM_STREAMSIZEF_DESTINATION, answer) == MMSYSERR_NOERROR) {
            chunk = answer;
        } else {
            dstChunk = dst->nAvgBytesPerSec / 10;
            if (convertSize(dstChunk, ACM_STREAMSIZEF_DESTINATION, answer) == MMSYSERR_NOERROR)
                chunk = answer;
        }
    }
    if (convertSize(chunk, ACM_STREAMSIZEF_SOURCE, answer) == MMSYSERR_NOERROR) {
        dstChunk = answer;
    } else if (srcPCM) {
        const uintptr_t divisors[] = {std::max<uintptr_t>(1, defaultChunksPerSecond.load()), 25, 10};
        bool found = false;
        for (uintptr_t divisor : divisors) {
            if (convertSize(src->nAvgBytesPerSec / divisor, ACM_STREAMSIZEF_SOURCE, answer) ==
                MMSYSERR_NOERROR) {
                dstChunk = answer;
                found = true;
                break;
            }
        }
        if (!found) dstChunk = chunk / 10;
    } else {
        dstChunk = chunk * 10;
    }
    if (convertSize(dstChunk, ACM_STREAMSIZEF_DESTINATION, answer) == MMSYSERR_NOERROR && answer != chunk) {
        chunk = answer;
        if (convertSize(chunk, ACM_STREAMSIZEF_SOURCE, answer) == MMSYSERR_NOERROR && answer != dstChunk)
            dstChunk = answer;
    }
    f_chunkSize.store(chunk);
    f_dstChunkSize.store(dstChunk);
    return chunk > 0 && chunk <= kelMaxChunkSize && dstChunk > 0 && dstChunk <= kelMaxChunkSize;
}

uint32_t kelMsAcmCodec::doCloseHandle()
{
    uint32_t result = resetStream();
    if (result == MMSYSERR_NOERROR) result = closeStream();
    f_deviceEvent.setState(true);
    if (result == MMSYSERR_NOERROR) result = kelMsAcmStreamDevice::doCloseHandle();
    freeBuffers();
    return result;
}

void kelMsAcmCodec::freeBuffers() noexcept
{
    f_subBuf.clear();
    f_subBuf.shrink_to_fit();
    f_scaled.clear();
    f_scaled.shrink_to_fit();
    f_subSize.store(0);
}

uint32_t kelMsAcmCodec::freeHeader(intptr_t headerSlot)
{
    if (headerSlot >= 0 && size_t(headerSlot) < kHeaderSlots && f_headers[size_t(headerSlot)] == f_header) {
        f_header = nullptr;
        f_acmHeader = nullptr;
    }
    return kelMsAcmStreamDevice::freeHeader(headerSlot);
}

// --- writing ---------------------------------------------------------------------------

uintptr_t kelMsAcmCodec::doWrite(const void* data, uintptr_t size)
{
    if (!data || size == 0) return 0;
    kelLock lock(this, false, kWriteLockTimeout);
    if (!lock) return 0;
    if (f_handle.load() == 0 || (f_closing.load() && !f_flushing.load())) return 0;
    const WAVEFORMATEX* src = f_srcFormatExt.format();
    const auto* bytes = static_cast<const uint8_t*>(data);
    // Volume measurement scales PCM in place: it works on a copy, so the
    // writer's buffer stays as it was.
    if (src && f_calcVolume.load() && formatIsPCM(src, f_srcFormatExt.size())) {
        f_scaled.assign(bytes, bytes + size);
        if (!analyzeChunk(f_scaled.data(), size, src)) return 0;
        bytes = f_scaled.data();
    } else if (!analyzeChunk(const_cast<uint8_t*>(bytes), size, src)) {
        return 0;
    }
    return convertData(bytes, size, false) ? size : 0;
}

bool kelMsAcmCodec::doFlush(bool waitForComplete)
{
    if (!waitForComplete) return true;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    if (f_handle.load() == 0) return true;
    f_flushing.store(true);
    const bool ok = convertData(nullptr, 0, true);
    f_flushing.store(false);
    return ok;
}

bool kelMsAcmCodec::ensureHeader(uintptr_t srcSize)
{
    if (!f_header) {
        const uintptr_t capacity = std::max(f_chunkSize.load(), srcSize);
        if (f_nextHdr < 0 || size_t(f_nextHdr) >= kHeaderSlots) return false;
        auto* header = new (std::nothrow) kelMsAcmCodecHeader(this, capacity, f_dstChunkSize.load(),
                                                              f_driverMode.load() == kelcdm_installable);
        if (!header) return false;
        if (!header->valid()) {
            delete header;
            return false;
        }
        (void)header->prepare();
        f_headers[size_t(f_nextHdr++)] = header;
        f_header = header;
    }
    if (!f_acmHeader)
        f_acmHeader = f_header->usesDriverRecord() ? static_cast<void*>(f_header->drvHeader())
                                                   : static_cast<void*>(f_header->header());
    // A header made for a shorter write grows before a longer chunk is
    // copied into it.
    if (f_header->srcCapacity() < srcSize && !f_header->grow(srcSize)) return false;
    return f_header->dstCapacity() >= f_dstChunkSize.load() ||
           f_header->growDestination(f_dstChunkSize.load());
}

bool kelMsAcmCodec::keepPending(const uint8_t* data, uintptr_t size) noexcept
{
    try {
        f_subBuf.insert(f_subBuf.end(), data, data + size);
    } catch (...) {
        return false;
    }
    f_subSize.store(f_subBuf.size());
    return true;
}

kelMsAcmCodec::Conversion kelMsAcmCodec::convertOnce(uint32_t flags)
{
    const uintptr_t given = f_header->srcLength();
    const uint32_t result = convertHeader(f_header, flags);
    if (result != MMSYSERR_NOERROR) return {given, 0}; // taken, nothing delivered
    const uintptr_t produced = f_header->dstLengthUsed();
    if (produced > 0) (void)deliverChunk(f_header->dst(), produced, f_dstFormatExt.format());
    f_flags &= ~ACM_STREAMCONVERTF_START;
    f_header->setIsDone(true);
    return {std::min<uintptr_t>(f_header->srcLengthUsed(), given), produced};
}

bool kelMsAcmCodec::convertData(const uint8_t* data, uintptr_t size, bool final)
{
    uintptr_t left = size;
    bool ended = false;     // the end flag went out
    uintptr_t lastMade = 0; // what the last conversion produced
    int idle = 0;           // conversions in a row that used nothing
    for (int drains = 0; drains < kMaxDrainConversions && idle < kMaxDrainConversions;) {
        const uintptr_t pending = f_subBuf.size();
        const uintptr_t total = pending + left;
        const uintptr_t chunk = f_chunkSize.load();
        if (chunk == 0) break;
        if (!final && total < chunk) break;
        // After the end flag, empty conversions bring out what the back
        // end still holds, while they produce.
        if (final && total == 0 && (!f_header || (ended && lastMade == 0))) break;
        // A chunk at a time; a back end that left a whole chunk unused gets
        // it again with more data after it.
        const uintptr_t want = pending >= chunk ? pending + std::min(left, chunk) : chunk;
        const uintptr_t take = std::min(total, want);
        if (take > kelMaxChunkSize || !ensureHeader(take)) {
            // Nothing could hold this much: what is pending is lost, and
            // the write is reported as not taken.
            f_subBuf.clear();
            f_subSize.store(0);
            return false;
        }
        const uintptr_t fromPending = std::min(pending, take);
        (void)f_header->write(f_subBuf.data(), fromPending, 0);
        (void)f_header->write(data, take - fromPending, fromPending);
        f_header->setSrcLength(uint32_t(take));
        f_header->resetUsed();
        const bool last = final && take == total;
        const Conversion done = convertOnce(last ? f_flags | ACM_STREAMCONVERTF_END : f_flags);
        const uintptr_t used = done.used;
        lastMade = done.produced;
        f_inBytes.fetch_add(int64_t(used));
        // Only what was used is taken: the pending bytes first, then the
        // caller's.
        const uintptr_t usedPending = std::min(used, fromPending);
        f_subBuf.erase(f_subBuf.begin(), f_subBuf.begin() + intptr_t(usedPending));
        data += used - usedPending;
        left -= used - usedPending;
        f_subSize.store(f_subBuf.size());
        if (last) {
            ended = true;
            ++drains;
            if (used == 0 && done.produced == 0) break;
            continue;
        }
        // Nothing used and nothing made: the back end wants more than it
        // was given. Something made but nothing used: it is emptying what
        // it holds, so the same bytes go again.
        if (used == 0 && done.produced == 0) break;
        idle = used == 0 ? idle + 1 : 0;
    }
    return keepPending(data, left);
}

// --- thread body -------------------------------------------------------------------------

intptr_t kelMsAcmCodec::execute(uintptr_t)
{
    const uintptr_t perSecond = chunkPerSecond();
    f_waitInterval.store(perSecond ? std::max<uintptr_t>(1, 1000 / perSecond) : 40);
    if (f_highPriority.load()) (void)setPriority(kelThreadPriorityTimeCritical);
    // The body's own chunk buffer: a body that outlives a stop never touches
    // what close frees.
    std::vector<uint8_t> buffer;
    while (!shouldStop()) {
        try {
            const uintptr_t chunk = f_chunkSize.load();
            kelAbstractStream* in = f_inStream.load();
            if (in && chunk > 0 && getDataAvailable(true) >= chunk) {
                buffer.resize(chunk);
                const intptr_t got = in->read(buffer.data(), intptr_t(chunk));
                if (got == intptr_t(chunk)) (void)write(buffer.data(), chunk);
                continue;
            }
            // Woken by data in the input stream or by a stop request.
            if (in)
                (void)waitForEvent(in->dataEvent(), kIdleWait);
            else
                (void)sleepThread(kIdleWait);
        } catch (...) {
            kelReportHookFailure("kelMsAcmCodec::execute");
        }
    }
    return 0;
}
