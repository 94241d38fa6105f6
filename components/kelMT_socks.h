#pragma once
// The network pipe components unit: the broadcast pipes (a server that
// broadcasts a PCM stream with its format, clients that receive it) and
// their datagrams.

#include "components/kelmtlBroadcastReception.h"
#include "components/kelmtlIPBroadcastClient.h"
#include "components/kelmtlIPBroadcastPacket.h"
#include "components/kelmtlIPBroadcastPipe.h"
#include "components/kelmtlIPBroadcastServer.h"
