#pragma once
// The IP streaming unit: the IP transmitter and receiver pipes, their
// coders (the codecs' coders handing their output to the components, MPEG
// audio frame splitting, CELT frame prefixes), their streamer base, its idle thread and events, the
// transmitter's session list, the payload vocabulary (encoding codes, payload mapping, static and custom
// payload types, rtpmap/fmtp reading) and the wave format block the components exchange (declared by the pipe
// layer, which every audio component shares).

#include "streaming/kelIPBitReader.h"
#include "streaming/kelIPCeltFrames.h"
#include "streaming/kelIPDecoders.h"
#include "streaming/kelIPDuplex.h"
#include "streaming/kelIPEncoders.h"
#include "streaming/kelIPMpegAnalysis.h"
#include "streaming/kelIPRTSPSetup.h"
#include "streaming/kelIPRTSPSrv.h"
#include "streaming/kelIPReceiver.h"
#include "streaming/kelIPReceiverMpegTS.h"
#include "streaming/kelIPSampleCarry.h"
#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPStreamerEvents.h"
#include "streaming/kelIPTransRTSPSession.h"
#include "streaming/kelIPTransmitter.h"
#include "streaming/kelIdleThread.h"
#include "streaming/kelRTPMap.h"
#include "pipes/kelWaveFormat.h"
