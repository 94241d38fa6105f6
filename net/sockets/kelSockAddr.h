#pragma once
// Address routines: host lookup, dotted-quad conversion, address class tests
// and port strings. IPv4 only. "H" names take or give host-order integers,
// "N" names network-order ones. All may be called from any thread.

#include "core/kelTypes.h"
#include "platform/kelSocketApi.h"

#include <cstdint>
#include <vector>

// Resolves `host` to its first IPv4 address as a dotted quad in `ip`; with
// `list` given, appends every address of the host (or the one address of a
// literal). An empty host means this machine: the IPv4 addresses of its
// interfaces, loopback excluded (127.0.0.1 when it has no other).
// Returns 0, or the error code with `ip` empty: the resolver's code (11001
// unknown host, ...), or 11002 when the lookup lock (the shared kelWSA's,
// 3000 ms) could not be had. Lookups are serialised through that lock.
int lookupHost(const kelString& host, kelString& ip, std::vector<kelString>* list = nullptr);
// lookupHost's result code alone.
int lookupHostAddr(const kelString& host);
// The first address of `host` in host order, or `defaultIp` when the lookup
// fails.
uint32_t hostToIpH(const kelString& host, uint32_t defaultIp);

kelString ipH2str(uint32_t ipH);
kelString ipN2str(uint32_t ipN);
// INADDR_NONE (all ones) when `s` is not an address.
uint32_t str2ipH(const kelString& s);
uint32_t str2ipN(const kelString& s);

// 224.0.0.0 ... 239.255.255.255.
bool isMulticastAddrN(uint32_t ipN);
bool isMulticastAddr(const kelString& s);
// The last octet is 255.
bool isBroadcastAddrN(uint32_t ipN);
// The special-purpose blocks: 0/8, 10/8, 127/8, 169.254/16, 172.16/12,
// 192.0.0/24, 192.0.2/24, 192.168/16, 198.18/15, 198.51.100/24, 203.0.113/24.
bool isReservedAddrH(uint32_t ipH);

// Port strings. A decimal value 0 ... 65535 is looked up as a protocol
// number, anything else as a protocol name (so "udp" gives 17); a number with
// no protocol entry stands for itself. `entry` receives the entry, its
// number being the port. Returns 0, -1 for an empty string, or the lookup
// error code (11004) with `entry` unchanged.
int resolvePort(const kelString& s, kelProtoEnt& entry);
// The port number, or -1 when `s` does not resolve.
int portFromString(const kelString& s);
