#pragma once
// The wave pipe components unit: the audio devices as pipe components with
// published properties, the format blocks they exchange, and the
// process-wide codec driver registry they share.

#include "components/kelProcessAcm.h"
#include "components/kelWaveDriverTypes.h"
#include "components/kelWaveFormatBlock.h"
#include "components/kelWavePcmRecord.h"
#include "components/kelmtlInOutWavePipe.h"
#include "components/kelmtlWaveCodecDevice.h"
#include "components/kelmtlWaveInDevice.h"
#include "components/kelmtlWaveMixer.h"
#include "components/kelmtlWaveOutDevice.h"
#include "components/kelmtlWaveResampler.h"
#include "components/kelmtlWaveRiff.h"
