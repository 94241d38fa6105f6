#pragma once
// The wave pipe components unit: the audio devices as pipe components with
// published properties, and the format blocks they exchange.

#include "components/kelWaveDriverTypes.h"
#include "components/kelWaveFormatBlock.h"
#include "components/kelWavePcmRecord.h"
#include "components/kelmtlInOutWavePipe.h"
#include "components/kelmtlWaveRiff.h"
// The wave input and output components come with the wave devices they wrap.
#if __has_include("audio/kelWaveOutDevice.h") && __has_include("audio/kelWaveInDevice.h")
#include "components/kelmtlWaveInDevice.h"
#include "components/kelmtlWaveOutDevice.h"
#endif
