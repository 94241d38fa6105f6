#pragma once
// The IP streaming unit: the IP transmitter and receiver pipes, their
// streamer base, its idle thread and events, the transmitter's session
// list, the payload vocabulary (encoding codes,
// payload mapping, static and custom payload types, rtpmap/fmtp reading)
// and the wave format block the components exchange (declared by the pipe
// layer, which every audio component shares).

#include "streaming/kelIPRTSPSetup.h"
#include "streaming/kelIPRTSPSrv.h"
#include "streaming/kelIPReceiver.h"
#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPStreamerEvents.h"
#include "streaming/kelIPTransRTSPSession.h"
#include "streaming/kelIPTransmitter.h"
#include "streaming/kelIdleThread.h"
#include "streaming/kelRTPMap.h"
#include "pipes/kelWaveFormat.h"
