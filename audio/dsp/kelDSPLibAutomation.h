#pragma once
// DSP automation: chains of processors over interleaved PCM, with their
// recorded parameters saved to and rebuilt from text.

#include "audio/dsp/kelDSPDlib.h"
#include "audio/dsp/kelDSPLibAutomat.h"
#include "audio/dsp/kelDSPLibObjectList.h"
#include "audio/dsp/kelDSPLibPCM.h"
