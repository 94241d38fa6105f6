#pragma once
// The audio stream devices unit: the device base with its buffer headers,
// the wave devices and the devices built on them. Each family has a header
// of its own; this one gathers them.

#include "audio/kelHandlerSlot.h"
#include "audio/kelMsAcmDeviceHeader.h"
#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelWave.h"
#include "audio/kelWaveDevice.h"
#include "audio/kelWaveHeader.h"
#include "audio/kelMMTimer.h"
#include "audio/kelWaveDeviceList.h"
#include "audio/kelWaveInDevice.h"
#include "audio/kelWaveOutDevice.h"
