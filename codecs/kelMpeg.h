#pragma once
// MPEG data without decoding it: bit readers over memory streams and files,
// and the audio frame finder for MPEG-1, MPEG-2 and MPEG-2.5 Layers I-III.

#include "codecs/kelBitReader.h"
#include "codecs/kelMpegAudio_layer123.h"
