#pragma once
// RTP and RTCP: packet formats, the RTCP session with its member table and
// the stack that wraps it in a socket and threads, and the streamers that
// move RTP over sockets (receiver, transmitter and its destinations).

#include "net/rtp/kelDatagramDemux.h"
#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPPackets.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/rtp/kelRTCPSession.h"
#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTCPStackOwner.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/rtp/kelRTPDestination.h"
#include "net/rtp/kelRTPHeader.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "net/rtp/kelRTPReceiver.h"
#include "net/rtp/kelRTPSendContext.h"
#include "net/rtp/kelRTPStreamer.h"
#include "net/rtp/kelRTPTransmitter.h"
