#pragma once
// The wave pipe components unit: the audio devices as pipe components with
// published properties, and the format blocks they exchange.

#include "components/kelWaveDriverTypes.h"
#include "components/kelWaveFormatBlock.h"
#include "components/kelWavePcmRecord.h"
#include "components/kelmtlInOutWavePipe.h"
#include "components/kelmtlWaveInDevice.h"
#include "components/kelmtlWaveOutDevice.h"
#include "components/kelmtlWaveRiff.h"
