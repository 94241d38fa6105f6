#pragma once
// The network pipe components unit: the IP client and server pipes with
// their packet protocol, byte-order processing, per-connection packet stacks
// and the socket manager they share; the broadcast pipes (a server that
// broadcasts a PCM stream with its format, clients that receive it) and their
// datagrams.

#include "components/kelIpByteOrder.h"
#include "components/kelIpPacketAssembler.h"
#include "components/kelIpPacketWire.h"
#include "components/kelMtIdeSocks.h"
#include "components/kelmtlBroadcastReception.h"
#include "components/kelmtlIPBroadcastClient.h"
#include "components/kelmtlIPBroadcastPacket.h"
#include "components/kelmtlIPBroadcastPipe.h"
#include "components/kelmtlIPBroadcastServer.h"
#include "components/kelmtlIPClient.h"
#include "components/kelmtlIPServer.h"
#include "components/kelmtlInOutIpPipe.h"
#include "components/kelmtlIpPacketsStack.h"
