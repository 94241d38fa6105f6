#pragma once
// RTP and RTCP: packet formats, the RTCP stack and its member table.

#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTCPInterval.h"
#include "net/rtp/kelRTCPPackets.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTCPstack.h"
#include "net/rtp/kelRTPHeader.h"
