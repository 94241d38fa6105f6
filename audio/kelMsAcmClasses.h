#pragma once
// The audio stream devices unit: the device base with its buffer headers,
// the wave devices and the devices built on them, the mixer and the
// resampler, and the codec device with the compression-manager registry it
// draws its drivers from. Each family
// has a header of its own; this one gathers them.

#include "audio/kelAcmCodecDriverMode.h"
#include "audio/kelHandlerSlot.h"
#include "audio/kelMMTimer.h"
#include "audio/kelMsAcm.h"
#include "audio/kelMsAcmCodec.h"
#include "audio/kelMsAcmCodecHeader.h"
#include "audio/kelMsAcmDeviceHeader.h"
#include "audio/kelMsAcmDriver.h"
#include "audio/kelMsAcmFormat.h"
#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelWave.h"
#include "audio/kelWaveDevice.h"
#include "audio/kelWaveDeviceList.h"
#include "audio/kelWaveHeader.h"
#include "audio/kelWaveInDevice.h"
#include "audio/kelWaveMixerDevice.h"
#include "audio/kelWaveOutDevice.h"
#include "audio/kelWaveResampler.h"
