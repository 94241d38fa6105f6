#pragma once
// The DNS client unit: the message wire format (kelDNSWire.h), records and
// their typed data (kelDNSRR.h), queries (kelDNSQuery.h) and the client
// thread with its machine server list (kelDNSClient.h).

#include "net/protocols/kelDNSClient.h"
#include "net/protocols/kelDNSQuery.h"
#include "net/protocols/kelDNSRR.h"
#include "net/protocols/kelDNSWire.h"
