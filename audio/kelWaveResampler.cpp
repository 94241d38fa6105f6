#include "audio/kelWaveResampler.h"

#include "audio/kelPCM.h"
#include "audio/kelWaveFormatRoutines.h"
#include "codecs/kelSpeexDSP.h"
#include "core/kelMemoryStream.h"
#include "platform/kelPlatformThread.h"
#include "platform/kelWaveApi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

namespace {

constexpr intptr_t kLockTimeout = 1000;
// Destination samples beyond one chunk that the buffers hold, so that a
// resampler wanting a sample more than the chunk never loses input.
constexpr uintptr_t kSlack = 16;
constexpr uintptr_t kNonRealTimeDelay = 20;
constexpr int kFlushWaits = 20;

bool validSide(const kelPCMFormat& f) noexcept
{
    return f.pcmSamplesPerSecond != 0 && f.pcmSamplesPerSecond <= kelWaveResampler::kMaxRate &&
           f.pcmNumChannels != 0 && f.pcmNumChannels <= 0xFFFF && f.pcmBitsPerSample != kelPCMBitsFloat32 &&
           pcmSampleBytes(f.pcmBitsPerSample) != 0;
}

kelPCMFormat sideOf(const WAVEFORMATEX* format) noexcept
{
    kelPCMFormat side;
    if (format == nullptr) return side;
    side.pcmSamplesPerSecond = format->nSamplesPerSec;
    side.pcmBitsPerSample = format->wBitsPerSample;
    side.pcmNumChannels = format->nChannels;
    return side;
}

// The chunk rate of one side: the common divisor of its rate and the device
// chunk rate, or a fifth of the rate when they share none.
uintptr_t sideDivisor(uintptr_t rate, uintptr_t chunksPerSecond) noexcept
{
    const uintptr_t a = std::gcd(rate, chunksPerSecond);
    return a == 1 ? rate / 5 : a;
}

uint8_t silenceByte(uintptr_t bits) noexcept
{
    return bits == 8 ? 0x80 : 0;
}

} // namespace

kelWaveResampler::kelWaveResampler(bool realTime, uintptr_t overNum)
    : kelWaveSoftwareDevice(realTime, true, overNum)
{
    // The software device made the output stream; the input side needs one
    // too (real-time writes queue in it).
    (void)assignStream(kelStreamClassOf<kelMemoryStream>(), true, true);
}

kelWaveResampler::~kelWaveResampler() = default;

void kelWaveResampler::setUseSpeexDSP(bool value) noexcept
{
    f_useSpeexDSP.store(value);
    f_useSpeexDSPwasAutoReset.store(false);
}

bool kelWaveResampler::setSampling(bool isSrc, uintptr_t samplesPerSec, uintptr_t bitsPerSample,
                                   uintptr_t numChannels)
{
    const kelPCMFormat side{samplesPerSec, bitsPerSample, numChannels};
    if (!validSide(side)) return false;
    WAVEFORMATEX format{};
    fillPCMFormat(&format, uint32_t(samplesPerSec), uint16_t(bitsPerSample), uint16_t(numChannels));
    return setFormat(isSrc, &format, sizeof format);
}

bool kelWaveResampler::setSampling(bool isSrc, const kelWaveFormat& format)
{
    const kelPCMFormat& f = format.formatOriginal;
    return setSampling(isSrc, f.pcmSamplesPerSecond, f.pcmBitsPerSample, f.pcmNumChannels);
}

bool kelWaveResampler::planChunks(const kelPCMFormat& src, const kelPCMFormat& dst, Plan& plan) noexcept
{
    if (!validSide(src) || !validSide(dst)) return false;
    uintptr_t perSecond = defaultChunksPerSecond.load();
    if (perSecond == 0) perSecond = 50;
    const uintptr_t srcRate = src.pcmSamplesPerSecond;
    const uintptr_t dstRate = dst.pcmSamplesPerSecond;
    uintptr_t g = std::gcd(sideDivisor(srcRate, perSecond), sideDivisor(dstRate, perSecond));
    // A rate of 1 to 4 Hz without a common divisor leaves no whole sample
    // in a chunk: refused, as the chunk pair could never be filled.
    if (g == 0 || srcRate / g == 0 || dstRate / g == 0) return false;
    // Both chunks must be whole samples of the same duration, or the two
    // sides drift apart chunk by chunk.
    if (srcRate % g != 0 || dstRate % g != 0) g = std::gcd(g, std::gcd(srcRate, dstRate));
    plan.perSecond = g;
    plan.srcSamples = srcRate / g;
    plan.dstSamples = dstRate / g;
    const uintptr_t srcFrame = src.pcmNumChannels * pcmSampleBytes(src.pcmBitsPerSample);
    const uintptr_t dstFrame = dst.pcmNumChannels * pcmSampleBytes(dst.pcmBitsPerSample);
    plan.srcBytes = plan.srcSamples * srcFrame;
    plan.dstBytes = plan.dstSamples * dstFrame;
    // The frames converted before their channels are mapped hold the
    // source's channels at the destination's sample size: bounded too, or
    // a format with many channels asks for gigabytes.
    const uintptr_t mapBytes =
        (plan.dstSamples + kSlack) * src.pcmNumChannels * pcmSampleBytes(dst.pcmBitsPerSample);
    return plan.srcBytes <= kelMaxChunkSize && (plan.dstSamples + kSlack) * dstFrame <= kelMaxChunkSize &&
           mapBytes <= kelMaxChunkSize;
}

bool kelWaveResampler::doSetFormat(bool isSrc, const WAVEFORMATEX* format, size_t formatSize)
{
    if (format == nullptr) return false;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return false;
    const kelPCMFormat side = sideOf(format);
    if (!formatIsPCM(format, formatSize == 0 ? sizeof(WAVEFORMATEX) + format->cbSize : formatSize) ||
        !validSide(side))
        return false;
    const WAVEFORMATEXTENSIBLE* otherExt = isSrc ? dstFormatExt() : srcFormatExt();
    const bool both = otherExt != nullptr;
    const kelPCMFormat other = both ? sideOf(&otherExt->Format) : kelPCMFormat{};
    const kelPCMFormat& src = isSrc ? side : other;
    const kelPCMFormat& dst = isSrc ? other : side;
    Plan plan;
    if (both && !planChunks(src, dst, plan)) return false;
    if (!kelWaveSoftwareDevice::doSetFormat(isSrc, format, formatSize)) return false;
    if (both && !applyPlan(src, dst, plan)) return false;
    return true;
}

bool kelWaveResampler::applyPlan(const kelPCMFormat& src, const kelPCMFormat& dst, const Plan& plan) noexcept
{
    f_srcSamples = 0;
    f_dstSamples = 0;
    f_srcChunk = kelPCMChunk(src);
    f_dstChunk = kelPCMChunk(dst);
    if (f_srcChunk.allocChunk(plan.srcSamples) == 0 || f_dstChunk.allocChunk(plan.dstSamples + kSlack) == 0)
        return false;
    try {
        f_subBuf.assign(plan.srcBytes, 0);
        f_channelBuf.assign(plan.srcSamples, 0);
        f_channelBufOut.assign(plan.dstSamples + kSlack, 0);
        f_mapBuf.assign(
            (plan.dstSamples + kSlack) * src.pcmNumChannels * pcmSampleBytes(dst.pcmBitsPerSample), 0);
    } catch (...) {
        return false;
    }
    f_subBufPos = 0;
    f_srcSamples = plan.srcSamples;
    f_dstSamples = plan.dstSamples;
    f_chunkPerSecond.store(plan.perSecond);
    f_chunkSize.store(plan.srcBytes);
    f_dstChunkSize.store(plan.dstBytes);
    f_inOverSize.store(f_inOverCN.load() * plan.srcBytes);
    f_outOverSize.store(f_outOverCN.load() * plan.dstBytes);
    prepareSpeex(dst.pcmSamplesPerSecond);
    return true;
}

void kelWaveResampler::prepareSpeex(uintptr_t dstRate) noexcept
{
    if (!f_speextried) {
        f_speextried = true;
        f_speexdsp[0] = kelMakeOwned<kelSpeexDSP>(kelString());
        f_speexavail2 = f_speexdsp[0] && f_speexdsp[0]->libOK();
        for (size_t c = 1; f_speexavail2 && c < kSpeexChannels; ++c) {
            f_speexdsp[c] = kelMakeOwned<kelSpeexDSP>(kelString());
            if (!f_speexdsp[c]) f_speexavail2 = false;
        }
    }
    if (!f_speexavail2) return;
    f_speexFresh = true;
    uintptr_t perSecond = defaultChunksPerSecond.load();
    if (perSecond == 0) perSecond = 50;
    const int frame = int(std::max<uintptr_t>(1, dstRate / perSecond));
    for (auto& dsp : f_speexdsp) {
        dsp->close();
        (void)dsp->open(frame, int(dstRate), false);
    }
}

// --- open, close, flush --------------------------------------------------------------------

uint32_t kelWaveResampler::afterOpen()
{
    const uint32_t result = kelWaveSoftwareDevice::afterOpen();
    if (result != MMSYSERR_NOERROR) return result;
    if (!f_realtime.load()) setNonrealTimeDelay(kNonRealTimeDelay);
    f_subBufPos = 0;
    // Fresh resamplers: a new run must not begin with the last run's tail.
    if (f_speexavail2 && !f_speexFresh && f_dstSamples != 0)
        prepareSpeex(f_dstChunk.chunkFormat.pcmSamplesPerSecond);
    return MMSYSERR_NOERROR;
}

void kelWaveResampler::afterClose(uint32_t closeResult)
{
    kelWaveSoftwareDevice::afterClose(closeResult);
    if (f_useSpeexDSPwasAutoReset.exchange(false)) f_useSpeexDSP.store(true);
}

bool kelWaveResampler::doFlush(bool waitForComplete)
{
    if (!isOpen() || srcFormatExt() == nullptr) return false;
    const uintptr_t chunk = chunkSize();
    if (chunk == 0) return false;
    if (!f_realtime.load()) {
        kelLock lock(this, false, kLockTimeout);
        if (!lock) return false;
        if (f_subBufPos > 0) {
            padCollected();
            convertChunk(f_subBuf.data());
            f_subBufPos = 0;
        }
        return true;
    }
    kelAbstractStream* in = inStream();
    if (in == nullptr) return false;
    const uintptr_t queued = getDataAvailable(true);
    if (queued % chunk != 0) {
        try {
            const std::vector<uint8_t> pad(chunk - queued % chunk,
                                           silenceByte(f_srcChunk.chunkFormat.pcmBitsPerSample));
            (void)in->write(pad.data(), intptr_t(pad.size()));
        } catch (...) {
            return false;
        }
    }
    if (!waitForComplete) return true;
    const bool onDeviceThread = bodyActive() && getThreadId() == kelCurrentThreadId();
    for (int k = 0; k < kFlushWaits && !onDeviceThread && bodyActive() && getDataAvailable(true) > chunk; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(f_waitInterval.load()));
    return true;
}

void kelWaveResampler::padCollected() noexcept
{
    const uintptr_t chunk = chunkSize();
    if (f_subBufPos >= chunk) return;
    std::memset(f_subBuf.data() + f_subBufPos, silenceByte(f_srcChunk.chunkFormat.pcmBitsPerSample),
                chunk - f_subBufPos);
}

// --- writing ---------------------------------------------------------------------

uintptr_t kelWaveResampler::doWrite(const void* data, uintptr_t size)
{
    if (f_realtime.load()) return kelWaveSoftwareDevice::doWrite(data, size);
    if (data == nullptr || size == 0 || shouldStop()) return 0;
    kelLock lock(this, false, intptr_t(2 * f_waitInterval.load()));
    if (!lock) return 0;
    if (!isOpen() || (f_closing.load() && !f_flushing.load())) return 0;
    const uintptr_t chunk = chunkSize();
    if (chunk == 0 || f_srcSamples == 0 || f_subBuf.size() < chunk) return 0;
    const auto* in = static_cast<const uint8_t*>(data);
    uintptr_t left = size;
    if (f_subBufPos > 0) {
        const uintptr_t take = std::min(chunk - f_subBufPos, left);
        std::memcpy(f_subBuf.data() + f_subBufPos, in, take);
        f_subBufPos += take;
        in += take;
        left -= take;
        if (f_subBufPos < chunk) {
            f_inBytes.fetch_add(int64_t(size));
            return size;
        }
        f_subBufPos = 0;
        convertChunk(f_subBuf.data());
    }
    for (; left >= chunk; in += chunk, left -= chunk)
        convertChunk(in);
    if (left > 0) std::memcpy(f_subBuf.data(), in, left);
    f_subBufPos = left;
    f_inBytes.fetch_add(int64_t(size));
    return size;
}

bool kelWaveResampler::headerDone(kelWaveHeader* header, bool reAdd)
{
    if (!kelWaveSoftwareDevice::headerDone(header, reAdd)) return false;
    if (f_realtime.load()) {
        kelLock lock(this, false, kLockTimeout);
        const uintptr_t chunk = chunkSize();
        if (lock && chunk != 0 && f_srcChunk.chunkBufSize >= chunk && getDataAvailable(true) >= chunk) {
            const uintptr_t n = readFromInStream(f_srcChunk.chunkData, chunk,
                                                 srcFormatExt() ? &srcFormatExt()->Format : nullptr);
            if (n == chunk) convertChunk(f_srcChunk.chunkData);
        }
    }
    cycleDone(header);
    return true;
}

// --- converting ------------------------------------------------------------------

void kelWaveResampler::convertChunk(const uint8_t* src)
{
    const kelPCMFormat& s = f_srcChunk.chunkFormat;
    const kelPCMFormat& d = f_dstChunk.chunkFormat;
    f_dstChunk.chunkDataLen = 0;
    if (f_useSpeexDSP.load()) {
        const bool suits = f_speexavail2 && s.pcmBitsPerSample == 16 && d.pcmBitsPerSample == 16 &&
                           s.pcmNumChannels == d.pcmNumChannels && s.pcmNumChannels <= kSpeexChannels;
        if (!suits) {
            f_useSpeexDSP.store(false);
            f_useSpeexDSPwasAutoReset.store(true);
        }
    }
    if (!f_useSpeexDSP.load() || !speexConvert(src)) fallbackConvert(src);
    if (f_dstChunk.chunkDataLen == 0) return;
    const WAVEFORMATEXTENSIBLE* dstFormat = dstFormatExt();
    (void)deliverChunk(f_dstChunk.chunkData, f_dstChunk.chunkDataLen,
                       dstFormat ? &dstFormat->Format : nullptr);
}

bool kelWaveResampler::speexConvert(const uint8_t* src)
{
    const size_t channels = f_srcChunk.chunkFormat.pcmNumChannels;
    const uintptr_t rate = f_srcChunk.chunkFormat.pcmSamplesPerSecond;
    const uintptr_t room = f_dstChunk.chunkBufSize / (2 * channels);
    uintptr_t frames = room;
    f_speexFresh = false;
    for (size_t c = 0; c < channels; ++c) {
        // 16-bit samples copied straight (the block may sit at any address).
        for (uintptr_t f = 0; f < f_srcSamples; ++f)
            std::memcpy(&f_channelBuf[f], src + (f * channels + c) * 2, 2);
        uintptr_t used = std::min<uintptr_t>(room, f_channelBufOut.size());
        const uintptr_t consumed =
            f_speexdsp[c]->resampleSrc(f_channelBuf.data(), f_srcSamples, rate, f_channelBufOut.data(), used);
        if (consumed == 0) return false;
        for (uintptr_t f = 0; f < used; ++f)
            std::memcpy(f_dstChunk.chunkData + (f * channels + c) * 2, &f_channelBufOut[f], 2);
        frames = std::min(frames, used);
    }
    f_dstChunk.chunkDataLen = frames * channels * 2;
    return true;
}

void kelWaveResampler::fallbackConvert(const uint8_t* src)
{
    const kelPCMFormat& s = f_srcChunk.chunkFormat;
    const kelPCMFormat& d = f_dstChunk.chunkFormat;
    const size_t srcCh = s.pcmNumChannels;
    const size_t dstCh = d.pcmNumChannels;
    if (dstCh % srcCh == 0) {
        if (convertPcmSize(f_srcSamples, srcCh, dstCh, s.pcmBitsPerSample, d.pcmBitsPerSample,
                           s.pcmSamplesPerSecond, d.pcmSamplesPerSecond) > f_dstChunk.chunkBufSize)
            return;
        f_dstChunk.chunkDataLen =
            convertPcm(src, f_dstChunk.chunkData, f_srcSamples, srcCh, dstCh, s.pcmBitsPerSample,
                       d.pcmBitsPerSample, s.pcmSamplesPerSecond, d.pcmSamplesPerSecond);
        return;
    }
    if (convertPcmSize(f_srcSamples, srcCh, srcCh, s.pcmBitsPerSample, d.pcmBitsPerSample,
                       s.pcmSamplesPerSecond, d.pcmSamplesPerSecond) > f_mapBuf.size())
        return;
    const size_t bytes = convertPcm(src, f_mapBuf.data(), f_srcSamples, srcCh, srcCh, s.pcmBitsPerSample,
                                    d.pcmBitsPerSample, s.pcmSamplesPerSecond, d.pcmSamplesPerSecond);
    mapChannels(f_mapBuf.data(), bytes / (srcCh * pcmSampleBytes(d.pcmBitsPerSample)));
}

void kelWaveResampler::mapChannels(const uint8_t* src, uintptr_t frames) noexcept
{
    const uintptr_t bits = f_dstChunk.chunkFormat.pcmBitsPerSample;
    const size_t srcCh = f_srcChunk.chunkFormat.pcmNumChannels;
    const size_t dstCh = f_dstChunk.chunkFormat.pcmNumChannels;
    const size_t sampleBytes = pcmSampleBytes(bits);
    if (frames * dstCh * sampleBytes > f_dstChunk.chunkBufSize) return;
    uint8_t* out = f_dstChunk.chunkData;
    for (uintptr_t f = 0; f < frames; ++f) {
        const uint8_t* frame = src + f * srcCh * sampleBytes;
        for (size_t j = 0; j < dstCh; ++j) {
            int64_t sum = 0;
            int64_t count = 0;
            for (size_t i = j; i < srcCh; i += dstCh) {
                const uint8_t* at = frame + i * sampleBytes;
                sum += readSample(bits, at);
                ++count;
            }
            writeSample(bits, count == 0 ? 0 : sum / count, out);
        }
    }
    f_dstChunk.chunkDataLen = frames * dstCh * sampleBytes;
}
