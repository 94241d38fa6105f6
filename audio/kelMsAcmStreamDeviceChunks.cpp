// kelMsAcmStreamDevice: formats and chunk sizes, the path of one chunk
// (volume, gain, silence decision, delivery).

#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelPCM.h"
#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelWaveFormatText.h"
#include "core/kelCreate.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr intptr_t kLockTimeout = 1000;

// The bytes held at a record the device was handed without a size.
size_t recordSize(const WAVEFORMATEX* format, size_t formatSize) noexcept
{
    if (formatSize) return formatSize;
    return format ? sizeof(WAVEFORMATEX) + format->cbSize : 0;
}

bool divides(uint64_t divisor, uint64_t value) noexcept
{
    return divisor != 0 && value % divisor == 0;
}

struct ChunkPlan
{
    uint64_t chunk = 0;
    uint64_t perSecond = 0; // stored only for the master side
};

// The chunk rule. False when the chunk would exceed kelMaxChunkSize (or the
// arithmetic would overflow on the way there).
bool planChunk(const WAVEFORMATEX* format, size_t formatSize, bool master, ChunkPlan& plan) noexcept
{
    const bool pcm = formatIsPCM(format, formatSize);
    uint64_t bytesPerSecond = format->nAvgBytesPerSec;
    if (pcm || bytesPerSecond == 0) {
        const uint64_t rate = std::max<uint64_t>(1000, format->nSamplesPerSec);
        const uint64_t channels = std::max<uint64_t>(1, format->nChannels);
        const uint64_t bits = std::max<uint64_t>(8, format->wBitsPerSample);
        uint64_t product = 0;
        if (__builtin_mul_overflow(rate, channels, &product) ||
            __builtin_mul_overflow(product, bits, &product))
            return false;
        bytesPerSecond = product / 8;
    }
    const uint64_t setting = std::max<uint64_t>(1, defaultChunksPerSecond.load());
    uint64_t perSecond = (bytesPerSecond == 11025 && setting == 50) ? 49 : setting;
    if (master && pcm && !divides(perSecond, bytesPerSecond)) {
        perSecond = setting;
        if (bytesPerSecond % 5 != 0) bytesPerSecond += 5 - bytesPerSecond % 5;
        while (perSecond > 5 && !(divides(perSecond, bytesPerSecond) && divides(perSecond, 1000)))
            --perSecond;
    }
    const uint64_t align = format->nBlockAlign ? format->nBlockAlign : 128;
    const uint64_t quotient = bytesPerSecond / perSecond;
    const uint64_t chunk = (quotient + align - 1) / align * align;
    if (chunk > kelMaxChunkSize) return false;
    plan.chunk = chunk;
    plan.perSecond = perSecond;
    return true;
}

} // namespace

bool kelMsAcmStreamDevice::doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize)
{
    formatSize = recordSize(format, formatSize);
    if (!format || formatSize < sizeof(WAVEFORMATEX)) return false;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;

    // Everything is checked before anything changes.
    const bool master = getMasterIsSrc() == isSrc;
    ChunkPlan plan;
    if (!planChunk(format, formatSize, master, plan)) return false;
    kelFormatBlock record;
    if (!formatToFormatExt(record, format, formatSize)) return false;

    (isSrc ? f_srcFormatExt : f_dstFormatExt) = std::move(record);
    (isSrc ? f_srcFormatInfo : f_dstFormatInfo) = formatDescription(format, formatSize);
    if (master) {
        f_chunkPerSecond.store(uintptr_t(plan.perSecond));
        f_chunkSize.store(uintptr_t(plan.chunk));
    } else {
        f_dstChunkSize.store(uintptr_t(plan.chunk));
    }
    if (isSrc)
        f_inOverSize.store(f_inOverCN.load() * uintptr_t(plan.chunk));
    else
        f_outOverSize.store(f_outOverCN.load() * uintptr_t(plan.chunk));
    return true;
}

bool kelMsAcmStreamDevice::doSetFormatExt(bool isSrc, const WAVEFORMATEXTENSIBLE* formatExt)
{
    if (!formatExt) return false;
    const auto* header = reinterpret_cast<const WAVEFORMATEX*>(formatExt);
    const size_t size = sizeof(WAVEFORMATEX) + header->cbSize;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    kelFormatBlock plain;
    if (!formatExtToFormat(header, size, plain, true)) return false;
    if (!doSetFormat(isSrc, plain.format(), plain.size())) return false;
    // The given record replaces the derived one, so its channel mask stays.
    kelFormatBlock copy;
    if (duplicateFormat(header, size, copy) == 0) return false;
    (isSrc ? f_srcFormatExt : f_dstFormatExt) = std::move(copy);
    return true;
}

// --- one chunk --------------------------------------------------------------------

void kelMsAcmStreamDevice::measureVolume(void* data, uintptr_t size, const WAVEFORMATEX* format) noexcept
{
    const size_t formatSize = recordSize(format, 0);
    const uintptr_t bits = formatSampleBits(format, formatSize);
    const size_t channels = format->nChannels;
    const uintptr_t containerBits = pcmContainerBits(bits);
    // A record without channels or sample size measures nothing.
    if (channels == 0 || containerBits == 0) return;
    const size_t samples = size_t(size) * 8 / (containerBits * channels);
    const size_t measured = std::min(channels, kVolumeChannels);
    for (size_t c = 0; c < measured; ++c)
        f_unVolume[c].store(channelVolume(data, samples, bits, channels, c, false),
                            std::memory_order_relaxed);
    const bool adjust = f_needVolumeAdjust.load() && samples >= 1;
    for (size_t c = 0; c < measured; ++c) {
        uintptr_t level = f_unVolume[c].load(std::memory_order_relaxed);
        const uintptr_t gain = f_setVolume[c].load(std::memory_order_relaxed);
        if (adjust && gain != 100) {
            applyGain(intptr_t(gain), data, samples, bits, channels, intptr_t(c));
            level = channelVolume(data, samples, bits, channels, c, false);
        }
        f_prevVolume[c].store(f_volume[c].load(std::memory_order_relaxed), std::memory_order_relaxed);
        f_volume[c].store(level, std::memory_order_relaxed);
    }
}

bool kelMsAcmStreamDevice::analyzeChunk(void* data, uintptr_t size, const WAVEFORMATEX* format)
{
    const bool pcm = format && formatIsPCM(format, recordSize(format, 0));
    if (pcm && size != 0 && data && f_calcVolume.load()) measureVolume(data, size, format);
    switch (f_sdm.load()) {
    case kelsdm_MT:
        return thresholdDecision(pcm ? format : nullptr);
    case kelsdm_DSP:
    case kelsdm_3GPPVAD1:
        return detectorDecision(data, size, format);
    case kelsdm_none:
    default:
        f_isSilence.store(false);
        return true;
    }
}

bool kelMsAcmStreamDevice::thresholdDecision(const WAVEFORMATEX* pcmFormat)
{
    if (!pcmFormat || pcmFormat->nChannels == 0) {
        f_isSilence.store(false);
        return true;
    }
    const uintptr_t level = f_minVL.load();
    if (f_calcVolume.load() && level != 0) {
        const uint64_t now = std::max<uint64_t>(1, f_clock.nowMs());
        if (f_timeActive != 0 && now - std::min(now, f_timeActive) <= f_minAT.load()) return true;
        const size_t channels = std::min<size_t>(pcmFormat->nChannels, kVolumeChannels);
        bool quiet = true;
        for (size_t c = 0; c < channels && quiet; ++c)
            quiet = f_volume[c].load(std::memory_order_relaxed) < level;
        const bool silent = f_isSilence.load();
        if (quiet && !silent) {
            if (f_timeActive == 0) {
                f_timeActive = now;
            } else {
                f_timeActive = 0;
                f_isSilence.store(true);
            }
        } else if (!quiet) {
            // A loud chunk ends a running hold as well as a silence: a hold
            // left running would let the next quiet chunk after a burst
            // declare silence at once.
            f_timeActive = 0;
            f_isSilence.store(false);
        }
        return notifyThreshold();
    }
    f_timeActive = 0;
    f_isSilence.store(false);
    if (f_isSilencePrev) {
        if (auto handler = f_onThreshold.get()) {
            f_isSilencePrev = false;
            // The handler is told the chunk passes; what it answers becomes
            // the silence flag (inverted) until the next decision.
            bool passThrough = true;
            try {
                (*handler)(this, passThrough);
            } catch (...) {
                kelReportHookFailure("kelMsAcmStreamDevice::onThreshold");
            }
            f_isSilence.store(!passThrough);
        }
    }
    return true;
}

bool kelMsAcmStreamDevice::notifyThreshold()
{
    const bool silent = f_isSilence.load();
    auto handler = f_onThreshold.get();
    if (handler && (f_isSilenceFirstTime || silent != f_isSilencePrev)) {
        f_isSilenceFirstTime = false;
        f_isSilencePrev = silent;
        f_passThrough = !silent;
        try {
            (*handler)(this, f_passThrough);
        } catch (...) {
            kelReportHookFailure("kelMsAcmStreamDevice::onThreshold");
        }
        return f_passThrough;
    }
    return !silent;
}

uintptr_t kelMsAcmStreamDevice::readFromInStream(void* buf, uintptr_t size, const WAVEFORMATEX* format)
{
    kelAbstractStream* in = f_inStream.load();
    if (size == 0 || !in || !buf || size > uintptr_t(INTPTR_MAX)) return 0;
    const intptr_t got = in->read(buf, intptr_t(size));
    const uintptr_t taken = got > 0 ? uintptr_t(got) : 0;
    if (taken < size) std::memset(static_cast<char*>(buf) + taken, 0, size - taken);
    if (taken == 0) return 0;
    bool pass = true;
    try {
        pass = analyzeChunk(buf, taken, format);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::analyzeChunk");
    }
    if (!pass) {
        f_skipTotal.fetch_add(int64_t(taken));
        return 0;
    }
    f_inBytes.fetch_add(int64_t(taken));
    return taken;
}

uintptr_t kelMsAcmStreamDevice::deliverChunk(void* data, uintptr_t size, const WAVEFORMATEX* format)
{
    if (size == 0 || !data || size > uintptr_t(INTPTR_MAX)) return 0;
    bool pass = true;
    try {
        pass = analyzeChunk(data, size, format);
    } catch (...) {
        kelReportHookFailure("kelMsAcmStreamDevice::analyzeChunk");
    }
    if (!pass) {
        f_skipTotal.fetch_add(int64_t(size));
        return 0;
    }
    f_outBytes.fetch_add(int64_t(size));
    if (auto handler = f_onDA.get()) {
        try {
            (*handler)(this, data, size);
        } catch (...) {
            kelReportHookFailure("kelMsAcmStreamDevice::onDataAvailable");
        }
    }
    uintptr_t result = size;
    // The list stays locked while consumers write, so a consumer that
    // removes itself (or is freed) waits until this delivery is done.
    if (f_consumers.count() > 0 && f_consumers.lock(true)) {
        for (intptr_t i = 0; i < f_consumers.count(); ++i)
            if (auto* consumer = static_cast<kelMsAcmStreamDevice*>(f_consumers.get(i)))
                result = consumer->write(data, size);
        f_consumers.unlockRO();
    }
    kelAbstractStream* out = f_outStream.load();
    if (!out) return result;
    if (f_outOverCN.load() != 0 && uintptr_t(out->getSize()) > f_outOverSize.load()) {
        f_outOverloadTotal.fetch_add(int64_t(size));
        return 0;
    }
    const intptr_t stored = out->write(data, intptr_t(size));
    return stored > 0 ? uintptr_t(stored) : 0;
}

// --- volume ---------------------------------------------------------------------------

uintptr_t kelMsAcmStreamDevice::getVolume(uintptr_t channel) const noexcept
{
    if (channel == kAllChannels) {
        const WAVEFORMATEX* master = const_cast<kelMsAcmStreamDevice*>(this)->masterFormat();
        // No format counts as one channel; a format without channels has
        // no volume.
        if (master && master->nChannels == 0) return 0;
        const size_t channels = std::min<size_t>(master ? master->nChannels : 1, kVolumeChannels);
        uint64_t sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += f_volume[c].load(std::memory_order_relaxed);
        return uintptr_t(sum / channels);
    }
    return f_volume[channel % kVolumeChannels].load(std::memory_order_relaxed);
}

uintptr_t kelMsAcmStreamDevice::getUnVolume(uintptr_t channel) const noexcept
{
    return f_unVolume[channel % kVolumeChannels].load(std::memory_order_relaxed);
}

uintptr_t kelMsAcmStreamDevice::getPrevVolume(uintptr_t channel) const noexcept
{
    return f_prevVolume[channel % kVolumeChannels].load(std::memory_order_relaxed);
}

void kelMsAcmStreamDevice::setVolume100(intptr_t channel, uintptr_t volume) noexcept
{
    if (channel < 0) {
        for (auto& gain : f_setVolume)
            gain.store(volume, std::memory_order_relaxed);
    } else {
        f_setVolume[size_t(channel) % kVolumeChannels].store(volume, std::memory_order_relaxed);
    }
    f_needVolumeAdjust.store(true);
}

uintptr_t kelMsAcmStreamDevice::volume100(uintptr_t channel) const noexcept
{
    return f_setVolume[channel % kVolumeChannels].load(std::memory_order_relaxed);
}
