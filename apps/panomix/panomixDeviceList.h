#pragma once
// The wave input devices the source window offers for live sources: the
// mapper first (device -1), then every input device by number, each named
// by its capabilities or, when they cannot be read, "Wave Mapper" and
// "WaveIn Device #<n>". Window thread.

#include "audio/kelWaveDeviceList.h"

#include <vector>

using panomixDeviceEntry = kelWaveDeviceEntry;

std::vector<panomixDeviceEntry> panomixInputDevices();
