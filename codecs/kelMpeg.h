#pragma once
// MPEG data without decoding it: bit readers over memory streams and files,
// the audio frame finder for MPEG-1, MPEG-2 and MPEG-2.5 Layers I-III, and
// the MPEG-2 transport stream demultiplexer with its tables.

#include "codecs/kelBitReader.h"
#include "codecs/kelMpegAudio_layer123.h"
#include "codecs/kelMpegTSDemuxer.h"
