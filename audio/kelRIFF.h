#pragma once
// The WAV file unit: the RIFF chunk tree over a mapped file, the software
// device that paces devices without hardware, and the WAV file stream that
// reads a PCM WAV file as chunks or writes chunks into a new one.

#include "audio/kelRIFile.h"
#include "audio/kelRiffStream.h"
#include "audio/kelWaveSoftwareDevice.h"
