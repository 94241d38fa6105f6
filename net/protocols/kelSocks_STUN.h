#pragma once
// The STUN unit: the message wire format (kelSTUNWire.h), the agent thread
// base (kelSTUNagent.h), servers and requests (kelSTUNClientReq.h), the
// client with its SRV lookup (kelSTUNclient.h), and the one-request client
// with getSTUNMappedAddress (kelSTUNMapped.h).

#include "net/protocols/kelSTUNClientReq.h"
#include "net/protocols/kelSTUNMapped.h"
#include "net/protocols/kelSTUNWire.h"
#include "net/protocols/kelSTUNagent.h"
#include "net/protocols/kelSTUNclient.h"
