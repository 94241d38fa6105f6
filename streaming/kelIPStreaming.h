#pragma once
// The IP streaming unit: the streamer base of the transmitter and receiver
// pipes, its idle thread and events, the payload vocabulary (encoding codes,
// payload mapping, static and custom payload types, rtpmap/fmtp reading)
// and the wave format block the components exchange.

#include "streaming/kelIPStreamer.h"
#include "streaming/kelIPStreamerEvents.h"
#include "streaming/kelIdleThread.h"
#include "streaming/kelRTPMap.h"
#include "streaming/kelWaveFormat.h"
