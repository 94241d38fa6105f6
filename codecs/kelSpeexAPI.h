#pragma once
// The Speex codec and Speex DSP libraries, loaded by name at run time: the
// binding records, the speech coders and the preprocessor/resampler.

#include "codecs/kelSpeexBinding.h"
#include "codecs/kelSpeexCoder.h"
#include "codecs/kelSpeexDSP.h"
