#include "codecs/kelSpeexDSP.h"

#include <climits>

namespace {

constexpr intptr_t kOpenLockMs = 1000;
constexpr intptr_t kWorkLockMs = 100;
constexpr int kResamplerQuality = 6;
// The largest rate the resampler is made for: its filter tables grow with
// the rate ratio.
constexpr uintptr_t kMaxRate = 1000000;

constexpr int kSetRequest[4] = {SPEEX_PREPROCESS_SET_DENOISE, SPEEX_PREPROCESS_SET_AGC,
                                SPEEX_PREPROCESS_SET_VAD, SPEEX_PREPROCESS_SET_DEREVERB};
constexpr int kGetRequest[4] = {SPEEX_PREPROCESS_GET_DENOISE, SPEEX_PREPROCESS_GET_AGC,
                                SPEEX_PREPROCESS_GET_VAD, SPEEX_PREPROCESS_GET_DEREVERB};

} // namespace

kelSpeexDSP::kelSpeexDSP(const kelString& libName) noexcept
{
    f_error = f_lib.load(libName);
    f_libOK = f_error == 0;
}

kelSpeexDSP::~kelSpeexDSP()
{
    closeLocked();
    if (f_libOK) f_lib.unload();
}

int kelSpeexDSP::open(int frameSize, int samplingRate, bool aec)
{
    kelLock lock(this, false, kOpenLockMs);
    if (!lock) return -2;
    closeLocked();
    if (!f_libOK || frameSize <= 0 || samplingRate <= 0) return -1;
    const kelSpeexDSPCalls& c = f_lib.calls();
    f_st_dsp = c.speex_preprocess_state_init(frameSize, samplingRate);
    if (f_st_dsp == nullptr) return -1;
    if (aec) {
        f_st_aec = c.speex_echo_state_init(frameSize, samplingRate / 10 > 0 ? samplingRate / 10 : 1);
        if (f_st_aec == nullptr) {
            closeLocked();
            return -1;
        }
    }
    f_frameSize = frameSize;
    f_samplingRate = samplingRate;
    applySwitches();
    if (f_st_aec != nullptr) {
        int rate = samplingRate;
        c.speex_echo_ctl(f_st_aec, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        c.speex_preprocess_ctl(f_st_dsp, SPEEX_PREPROCESS_SET_ECHO_STATE, f_st_aec);
    }
    f_sps = uintptr_t(samplingRate);
    f_active = true;
    return 0;
}

void kelSpeexDSP::close()
{
    kelLock lock(this, false, kOpenLockMs);
    closeLocked();
}

void kelSpeexDSP::closeLocked() noexcept
{
    const kelSpeexDSPCalls& c = f_lib.calls();
    if (f_st_dsp != nullptr) c.speex_preprocess_state_destroy(f_st_dsp);
    if (f_st_aec != nullptr) c.speex_echo_state_destroy(f_st_aec);
    if (f_st_resampler != nullptr) c.speex_resampler_destroy(f_st_resampler);
    f_st_dsp = nullptr;
    f_st_aec = nullptr;
    f_st_resampler = nullptr;
    f_lastResampleSrc = 0;
    f_lastResampleDst = 0;
    f_active = false;
    f_lfv = false;
}

void kelSpeexDSP::applySwitches() noexcept
{
    if (!f_dsp_paramsValid || f_st_dsp == nullptr) return;
    for (size_t k = 0; k < f_dsp_params.size(); ++k) {
        int value = f_dsp_params[k] ? 1 : 0;
        f_lib.calls().speex_preprocess_ctl(f_st_dsp, kSetRequest[k], &value);
    }
}

bool kelSpeexDSP::preprocess(int16_t* frame)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock || f_st_dsp == nullptr || frame == nullptr) return false;
    f_lfv = f_lib.calls().speex_preprocess_run(f_st_dsp, frame) != 0;
    return true;
}

void kelSpeexDSP::echo_playback(const int16_t* frame)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock || f_st_aec == nullptr || frame == nullptr) return;
    f_lib.calls().speex_echo_playback(f_st_aec, frame);
}

void kelSpeexDSP::echo_capture(const int16_t* frame, int16_t* out)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock || f_st_aec == nullptr || frame == nullptr || out == nullptr) return;
    f_lib.calls().speex_echo_capture(f_st_aec, frame, out);
}

uintptr_t kelSpeexDSP::resampleSrc(const int16_t* srcFrame, uintptr_t srcSamples, uintptr_t srcSamplingRate,
                                   int16_t* outBuf, uintptr_t& outBufUsed)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock) {
        outBufUsed = 0;
        return 0;
    }
    return resample(srcFrame, srcSamples, srcSamplingRate, f_sps, outBuf, outBufUsed);
}

uintptr_t kelSpeexDSP::resampleDst(const int16_t* srcFrame, uintptr_t srcSamples, uintptr_t dstSamplingRate,
                                   int16_t* outBuf, uintptr_t& outBufUsed)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock) {
        outBufUsed = 0;
        return 0;
    }
    return resample(srcFrame, srcSamples, f_sps, dstSamplingRate, outBuf, outBufUsed);
}

uintptr_t kelSpeexDSP::resample(const int16_t* src, uintptr_t srcSamples, uintptr_t fromRate,
                                uintptr_t toRate, int16_t* out, uintptr_t& outUsed)
{
    const uintptr_t room = outUsed;
    outUsed = 0;
    if (!f_libOK || !f_active || src == nullptr || out == nullptr || srcSamples == 0 || room == 0) return 0;
    if (fromRate == 0 || toRate == 0 || fromRate > kMaxRate || toRate > kMaxRate) return 0;
    const kelSpeexDSPCalls& c = f_lib.calls();
    if (f_st_resampler != nullptr && (fromRate != f_lastResampleSrc || toRate != f_lastResampleDst)) {
        c.speex_resampler_destroy(f_st_resampler);
        f_st_resampler = nullptr;
    }
    if (f_st_resampler == nullptr) {
        int err = 0;
        f_st_resampler =
            c.speex_resampler_init(1, spx_uint32_t(fromRate), spx_uint32_t(toRate), kResamplerQuality, &err);
        if (f_st_resampler == nullptr) return 0;
        f_lastResampleSrc = fromRate;
        f_lastResampleDst = toRate;
    }
    spx_uint32_t inLen = spx_uint32_t(srcSamples > UINT32_MAX ? UINT32_MAX : srcSamples);
    spx_uint32_t outLen = spx_uint32_t(room > UINT32_MAX ? UINT32_MAX : room);
    if (c.speex_resampler_process_int(f_st_resampler, 0, src, &inLen, out, &outLen) != RESAMPLER_ERR_SUCCESS)
        return 0;
    outUsed = outLen;
    return inLen;
}

bool kelSpeexDSP::getSwitch(kelSpeexDSPSwitch which)
{
    const size_t k = size_t(which) & 3;
    kelLock lock(this, true, kWorkLockMs);
    if (lock && f_st_dsp != nullptr) {
        int value = 0;
        f_lib.calls().speex_preprocess_ctl(f_st_dsp, kGetRequest[k], &value);
        return value != 0;
    }
    return f_dsp_params[k];
}

void kelSpeexDSP::setSwitch(kelSpeexDSPSwitch which, bool value)
{
    const size_t k = size_t(which) & 3;
    kelLock lock(this, false, kOpenLockMs);
    if (!lock) return;
    if (!f_dsp_paramsValid && f_st_dsp != nullptr) {
        // Start from the library's own settings so that the others stay.
        for (size_t j = 0; j < f_dsp_params.size(); ++j) {
            int current = 0;
            f_lib.calls().speex_preprocess_ctl(f_st_dsp, kGetRequest[j], &current);
            f_dsp_params[j] = current != 0;
        }
    }
    f_dsp_params[k] = value;
    f_dsp_paramsValid = true;
    if (f_st_dsp != nullptr) {
        int v = value ? 1 : 0;
        f_lib.calls().speex_preprocess_ctl(f_st_dsp, kSetRequest[k], &v);
    }
}

int kelSpeexDSP::agcLoudness()
{
    kelLock lock(this, true, kWorkLockMs);
    if (!lock || f_st_dsp == nullptr) return 0;
    int value = 0;
    f_lib.calls().speex_preprocess_ctl(f_st_dsp, SPEEX_PREPROCESS_GET_AGC_LOUDNESS, &value);
    return value;
}

float kelSpeexDSP::agcLevel()
{
    kelLock lock(this, true, kWorkLockMs);
    if (!lock || f_st_dsp == nullptr) return 0.0f;
    float value = 0.0f;
    f_lib.calls().speex_preprocess_ctl(f_st_dsp, SPEEX_PREPROCESS_GET_AGC_LEVEL, &value);
    return value;
}
