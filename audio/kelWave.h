#pragma once
// The wave unit: the platform's wave format records with their identifiers
// and speaker masks, the routines that fill, convert, compare and describe
// them, the multimedia result-code texts, and the PCM sample routines with
// the chunk record that audio devices pass around.

#include "audio/kelFormatBlock.h"
#include "audio/kelPCM.h"
#include "audio/kelPCMChunk.h"
#include "audio/kelWaveFormatRoutines.h"
#include "audio/kelWaveFormatText.h"
#include "audio/kelWaveFormats.h"
