#pragma once
// The network pipe components unit: the IP client and server pipes with
// their packet protocol, byte-order processing, per-connection packet
// stacks and the socket manager they share.

#include "components/kelIpByteOrder.h"
#include "components/kelIpPacketAssembler.h"
#include "components/kelIpPacketWire.h"
#include "components/kelMtIdeSocks.h"
#include "components/kelmtlIPClient.h"
#include "components/kelmtlIPServer.h"
#include "components/kelmtlInOutIpPipe.h"
#include "components/kelmtlIpPacketsStack.h"
