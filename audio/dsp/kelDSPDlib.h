#pragma once
// The DSP processors and their root: include this to create and drive
// processors (see kelDspLibH.h for the identifiers).

#include "audio/dsp/kelDspDL_DynProc.h"
#include "audio/dsp/kelDspDL_EQ2B.h"
#include "audio/dsp/kelDspDL_EQMB.h"
#include "audio/dsp/kelDspDL_LD.h"
#include "audio/dsp/kelDspDL_MbSp.h"
#include "audio/dsp/kelDspDL_ND.h"
#include "audio/dsp/kelDspDL_SpeechProc.h"
#include "audio/dsp/kelDspDLibRoot.h"
#include "audio/dsp/kelDspDProcessor.h"
#include "audio/dsp/kelDspLibH.h"
#include "audio/dsp/kelDspMath.h"
