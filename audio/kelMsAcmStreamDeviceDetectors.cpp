// kelMsAcmStreamDevice: the silence decisions that need a detector: the DSP
// mode (a level detector against a noise-level estimate, channel by channel)
// and the voice-activity mode (the AMR detector on 20 ms mono frames, with a
// hang-over of 21 chunks).

#include "audio/kelMsAcmStreamDevice.h"

#include "audio/kelPCM.h"
#include "audio/kelWaveFormatRoutines.h"

#include <algorithm>
#include <new>

namespace {

constexpr uint32_t kNoiseRateParam = c_dspParam_rate;       // the noise detector's sampling rate
constexpr uint32_t kNoiseEstimateParam = c_dspParam_output; // its estimate, per channel
constexpr intptr_t kVadHangoverChunks = 21;
constexpr size_t kVadFramesPerSecond = 50; // detector frames of 20 ms

size_t recordSize(const WAVEFORMATEX* format) noexcept
{
    return format ? sizeof(WAVEFORMATEX) + format->cbSize : 0;
}

// The sample size the automations take for a record (8, 16, or 32 for
// float); 0 for the others: packed 24-bit and 32-bit integers would be read
// as 4-byte floats there.
int32_t dspBits(const WAVEFORMATEX* format) noexcept
{
    if (!format) return 0;
    switch (formatSampleBits(format, recordSize(format))) {
    case 8:
        return 8;
    case 16:
        return 16;
    case kelPCMBitsFloat32:
        return 32;
    default:
        return 0;
    }
}

// The source frames of one detector frame: 20 ms at the rate, at least one.
size_t vadSpan(uint32_t rate) noexcept
{
    return std::max<size_t>(1, (size_t(rate) + kVadFramesPerSecond / 2) / kVadFramesPerSecond);
}

} // namespace

void kelMsAcmStreamDevice::createDetectors() noexcept
{
    vadState* state = nullptr;
    if (vadStateCreate(state) == 0) f_3gppvad1.reset(state);
    f_dspl.reset(new (std::nothrow) kelDspDLibRoot);
    if (!f_dspl) return;
    f_dsplAutoLD.reset(kelDSPLibAutomat::create(f_dspl.get()));
    f_dsplAutoND.reset(kelDSPLibAutomat::create(f_dspl.get()));
    if (f_dsplAutoLD) f_dsplObjLD = f_dsplAutoLD->dspl_objNew(kelDspType_LD);
    if (f_dsplAutoND) f_dsplObjND = f_dsplAutoND->dspl_objNew(kelDspType_ND);
}

void kelMsAcmStreamDevice::configureDetectors() noexcept
{
    // A partial detector frame belongs to the previous open's format.
    f_vad_fill = 0;
    f_vad_pos = 0;
    f_vad_span = 0;
    f_vad_voiced = false;

    f_outBufValid = false;
    f_dsplSamples = 0;
    f_dsplFormatOk = false;
    const WAVEFORMATEX* format = masterFormat();
    if (!format || !formatIsPCM(format, recordSize(format))) {
        const WAVEFORMATEX* other = getMasterIsSrc() ? f_dstFormatExt.format() : f_srcFormatExt.format();
        if (other) format = other;
    }
    if (!format || !f_dsplAutoLD || !f_dsplAutoND) return;
    const int32_t bits = dspBits(format);
    const uint32_t rate = format->nSamplesPerSec;
    const uint16_t channels = format->nChannels;
    // The output references are kept for at most kVolumeChannels channels;
    // a format the automations cannot take leaves this mode unexamined.
    if (bits == 0 || channels == 0 || channels > kVolumeChannels || rate == 0 || rate > INT32_MAX) return;
    if (f_dsplAutoLD->setFormat(int32_t(rate), bits, channels, false) != 0 ||
        f_dsplAutoND->setFormat(int32_t(rate), bits, channels, false) != 0)
        return;
    f_dsplAutoND->dspl_obj_setf(f_dsplObjND, kNoiseRateParam, float(rate));
    f_dsplFormatOk = true;
}

bool kelMsAcmStreamDevice::detectorDecision(void* data, uintptr_t size, const WAVEFORMATEX* format)
{
    if (f_sdm.load() == kelsdm_DSP) return dspDecision(data, size, format);
    return vadDecision(data, size, format);
}

// --- DSP mode ---------------------------------------------------------------------

bool kelMsAcmStreamDevice::dspDecision(void* data, uintptr_t size, const WAVEFORMATEX* format)
{
    // Only a chunk in the layout the automations were given is examined; the
    // others (not PCM, other sizes, a format they refused) pass.
    const int32_t bits = dspBits(format);
    const bool readable = f_dsplFormatOk && data && size != 0 && size <= uintptr_t(INTPTR_MAX) && bits != 0 &&
                          format->nChannels == f_dsplAutoLD->channels() && bits == f_dsplAutoLD->bits() &&
                          int64_t(format->nSamplesPerSec) == f_dsplAutoLD->rate();
    const intptr_t samples = readable ? f_dsplAutoLD->bytes2samples(intptr_t(size)) : 0;
    if (samples == 0 || f_dsplAutoLD->processChunk(data, intptr_t(size), -1, -1, false) != 0 ||
        f_dsplAutoND->processChunk(data, intptr_t(size), -1, -1, false) != 0) {
        f_isSilence.store(false);
        return true;
    }
    const size_t channels = format->nChannels;
    // The automations size their output buffers to the chunk, so a chunk of
    // another sample count moves them.
    if (!f_outBufValid || samples != f_dsplSamples) {
        for (size_t c = 0; c < channels; ++c) {
            f_dsplAutoLD->getOutData(int32_t(c), f_dsplOutBufLD[c], f_dsplOutBufLDSize[c]);
            f_dsplAutoND->getOutData(int32_t(c), f_dsplOutBufND[c], f_dsplOutBufNDSize[c]);
        }
        f_dsplSamples = samples;
        f_outBufValid = true;
    }
    bool silent = true;
    if (f_dsplOutBufLDSize[0] == f_dsplOutBufNDSize[0]) {
        for (size_t c = 0; c < channels && silent; ++c) {
            float estimate = 0.0f;
            if (!f_dsplAutoND->dspl_obj_getf(f_dsplObjND, int32_t(c), kNoiseEstimateParam, estimate)) {
                silent = false; // no estimate: the channel counts as loud
                break;
            }
            const float* level = f_dsplOutBufLD[c];
            const intptr_t count = level ? f_dsplOutBufLDSize[c] : 0;
            if (count > 0 && *std::max_element(level, level + count) > estimate) silent = false;
        }
    }
    f_isSilence.store(silent);
    return notifyThreshold();
}

// --- voice-activity mode ------------------------------------------------------------

bool kelMsAcmStreamDevice::vadChunkHasVoice(const void* data, uintptr_t size,
                                            const WAVEFORMATEX* format) noexcept
{
    const uintptr_t bits = format ? formatSampleBits(format, recordSize(format)) : 0;
    const size_t sampleBytes = pcmSampleBytes(bits);
    const size_t channels = format ? format->nChannels : 0;
    // Not PCM, or a sample size the PCM routines cannot read: not examined,
    // counted as voice.
    if (!data || sampleBytes == 0 || channels == 0 || format->nSamplesPerSec == 0 || !f_3gppvad1) return true;

    const size_t span = vadSpan(format->nSamplesPerSec);
    if (span != f_vad_span) {
        f_vad_span = span;
        f_vad_fill = 0;
        f_vad_pos = 0;
    }
    const size_t frameBytes = sampleBytes * channels;
    const size_t frames = size_t(size) / frameBytes;
    const auto* in = static_cast<const uint8_t*>(data);
    bool decided = false, voice = false;
    for (size_t f = 0; f < frames; ++f) {
        // The frame mixed to mono: the mean of its channels.
        const uint8_t* sample = in + f * frameBytes;
        int64_t sum = 0;
        for (size_t c = 0; c < channels; ++c)
            sum += readSample(bits, sample);
        const auto mono = int16_t((sum / int64_t(channels)) >> 16);
        // Nearest neighbour to 160 samples per 20 ms: detector sample i takes
        // source frame floor(i × span / 160).
        while (f_vad_fill < kVadFrameSamples && f_vad_fill * span / kVadFrameSamples == f_vad_pos)
            f_3gppvad1_buf[f_vad_fill++] = mono;
        if (++f_vad_pos < span) continue;
        f_vad_voiced = vadDecideFrame(f_3gppvad1.get(), f_3gppvad1_buf.data());
        voice = voice || f_vad_voiced;
        decided = true;
        f_vad_fill = 0;
        f_vad_pos = 0;
    }
    // A chunk that completes no detector frame keeps the last decision.
    return decided ? voice : f_vad_voiced;
}

bool kelMsAcmStreamDevice::vadDecision(const void* data, uintptr_t size, const WAVEFORMATEX* format)
{
    bool voice = vadChunkHasVoice(data, size, format);
    if (!f_vad_prev || voice) {
        f_vad_prev = voice;
        if (voice) f_vad_cooldown = 0;
    } else if (f_vad_cooldown == 0) {
        f_vad_cooldown = kVadHangoverChunks;
        voice = true;
    } else if (f_vad_cooldown >= 2) {
        --f_vad_cooldown;
        voice = true;
    } else {
        f_vad_prev = false;
    }
    f_isSilence.store(!voice);
    return voice;
}
