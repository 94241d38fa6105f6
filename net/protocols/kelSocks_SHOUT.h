#pragma once
// The SHOUTcast/Icecast unit: the stream receiver, the source client, and
// the wire text and metadata routines they share with the streaming
// components.

#include "net/protocols/kelICYStream.h"
#include "net/protocols/kelICYWire.h"
#include "net/protocols/kelSHOUTreceiver.h"
#include "net/protocols/kelSHOUTtransmitter.h"
