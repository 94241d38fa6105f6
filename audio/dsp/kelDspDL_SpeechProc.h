#pragma once
// kelDspDL_SpeechProc: "Speech Processor", a voice chain: look-ahead delay,
// automatic gain control, presence and low-cut equaliser, de-esser, noise
// gate (listening to the undelayed input), compressor and limiter.
// Parameters: sampling rate 0x10B00, de-esser split 0x10B03, presence
// frequency 0x10B01 and Q 0x10501, low cut 0x10B04 (Hz), make-up gain
// 0x10300, limiter threshold 0x10305, target level 0x10900 (a chunk under
// that id overrides the float with its first value). The gate's count of
// samples over threshold is the integer 0x1FF00.

#include "audio/dsp/kelDspDL_DynProc.h"
#include "audio/dsp/kelDspDL_EQ2B.h"
#include "audio/dsp/kelDspDProcessor.h"

#include <vector>

class kelDspDL_SpeechProc : public kelDspDProcessor
{
public:
    kelDspDL_SpeechProc() noexcept : kelDspDProcessor(kelDspType_SpeechProc) {}

protected:
    bool doProcess(intptr_t numSamples) override;

private:
    bool configure();
    void configureLevelStages(double rate);
    void delay(const float* in, float* out, size_t n) noexcept;

    kelDspDL_DynProc f_agc, f_deEsser, f_gate, f_compressor, f_limiter;
    kelDspDL_EQ2B f_presence, f_split;
    std::vector<float> f_delayLine;
    size_t f_delayPos = 0;
    std::vector<float> f_delayed, f_a, f_b, f_h;
};
