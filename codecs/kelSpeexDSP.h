#pragma once
// kelSpeexDSP: the Speex DSP library's preprocessor (denoise, automatic gain,
// voice detection, dereverberation), echo canceller and mono resampler for
// one stream of 16-bit samples. It loads its own binding of the library;
// without the library every call is neutral (libOK false).
//
// Threads: every call takes the object's lock (kelObject); open waits for it
// 1000 ms, the processing calls 100 ms, so a frame that cannot be had in
// time is left as it was. Make and free through kelCreate / kelFree.

#include "codecs/kelSpeexBinding.h"
#include "core/kelObject.h"

#include <array>
#include <cstdint>

// The four preprocessor switches that a DSP remembers while it is closed.
enum kelSpeexDSPSwitch : int {
    kelsdsp_denoise = 0,
    kelsdsp_agc = 1,
    kelsdsp_vad = 2,
    kelsdsp_dereverb = 3,
};

class kelSpeexDSP : public kelObject
{
public:
    // Loads the library (`libName` trimmed, empty for the default soname).
    explicit kelSpeexDSP(const kelString& libName = {}) noexcept;
    ~kelSpeexDSP() override;

    // (Re)creates the preprocessor for frames of `frameSize` samples at
    // `samplingRate` and, with `aec`, an echo canceller (filter of a tenth
    // of a second) feeding it. The resampler's output rate becomes
    // `samplingRate`. 0; -1 when a state could not be made (or there is no
    // library, or a size is not positive); -2 when the lock timed out.
    int open(int frameSize, int samplingRate, bool aec);
    void close();

    // Runs the preprocessor on one frame (frameSize samples) in place and
    // remembers whether it held voice. False without a preprocessor.
    bool preprocess(int16_t* frame);
    // The echo canceller's two halves: a frame played to the loudspeaker,
    // and a captured frame cleaned into `out`. Nothing without a canceller.
    void echo_playback(const int16_t* frame);
    void echo_capture(const int16_t* frame, int16_t* out);

    // Resamples `srcSamples` mono samples at `srcSamplingRate` to the open
    // rate. `outBufUsed` holds the room of `outBuf` in samples on entry and
    // the samples written on return. The source samples consumed; 0 on an
    // error, without a library, or before open.
    uintptr_t resampleSrc(const int16_t* srcFrame, uintptr_t srcSamples, uintptr_t srcSamplingRate,
                          int16_t* outBuf, uintptr_t& outBufUsed);
    // The other way: from the open rate to `dstSamplingRate`.
    uintptr_t resampleDst(const int16_t* srcFrame, uintptr_t srcSamples, uintptr_t dstSamplingRate,
                          int16_t* outBuf, uintptr_t& outBufUsed);

    bool getSwitch(kelSpeexDSPSwitch which);
    void setSwitch(kelSpeexDSPSwitch which, bool value);
    bool denoise() { return getSwitch(kelsdsp_denoise); }
    void setDenoise(bool value) { setSwitch(kelsdsp_denoise, value); }
    bool agc() { return getSwitch(kelsdsp_agc); }
    void setAgc(bool value) { setSwitch(kelsdsp_agc, value); }
    bool vad() { return getSwitch(kelsdsp_vad); }
    void setVad(bool value) { setSwitch(kelsdsp_vad, value); }
    bool dereverb() { return getSwitch(kelsdsp_dereverb); }
    void setDereverb(bool value) { setSwitch(kelsdsp_dereverb, value); }
    // The automatic gain's loudness and level; 0 while closed.
    int agcLoudness();
    float agcLevel();

    bool libOK() const noexcept { return f_libOK; }
    // The library load's result (0, kelLibNotFound or kelLibMissingExport).
    int error() const noexcept { return f_error; }
    bool active() const noexcept { return f_active; }
    // Whether the last preprocessed frame held voice.
    bool lastFrameVoice() const noexcept { return f_lfv; }
    int frameSize() const noexcept { return f_frameSize; }
    int samplingRate() const noexcept { return f_samplingRate; }
    uintptr_t resamplerRate() const noexcept { return f_sps; }
    const kelSpeexDSPBinding& binding() const noexcept { return f_lib; }

    kelString _classID() const override { return u"kelSpeexDSP"; }

private:
    void closeLocked() noexcept;
    void applySwitches() noexcept;
    uintptr_t resample(const int16_t* src, uintptr_t srcSamples, uintptr_t fromRate, uintptr_t toRate,
                       int16_t* out, uintptr_t& outUsed);

    kelSpeexDSPBinding f_lib;
    int f_error = 0;
    int f_frameSize = 0;
    int f_samplingRate = 0;
    bool f_active = false;
    bool f_lfv = false;
    bool f_libOK = false;
    uintptr_t f_sps = 0;
    uintptr_t f_lastResampleDst = 0;
    uintptr_t f_lastResampleSrc = 0;
    std::array<bool, 4> f_dsp_params{true, false, false, false}; // the library's defaults
    bool f_dsp_paramsValid = false;
    SpeexPreprocessState* f_st_dsp = nullptr;
    SpeexEchoState* f_st_aec = nullptr;
    SpeexResamplerState* f_st_resampler = nullptr;
};
