#pragma once
// The machine's DNS servers, for a resolver that is given none.
//
// Entries are "address" (port 53) or "address:port", IPv4 dotted quads. The
// list is the process-wide override when one is set (tests point every
// resolver at their own servers, or at a port nobody serves), else the IPv4
// "nameserver" lines of /etc/resolv.conf, in their order. Any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint16_t kelDnsDefaultPort = 53;

// The servers to ask, first first; empty when there are none.
std::vector<std::string> kelDnsServers();

// The IPv4 nameserver entries of a resolv.conf text (comments, other
// keywords and IPv6 servers left out).
std::vector<std::string> kelParseResolvConf(std::string_view text);

// Splits an entry into its address and port (53 when it names none). False
// for anything but a dotted quad with an optional port 1 ... 65535.
bool kelSplitDnsServer(std::string_view entry, std::string& address, uint16_t& port);

// Replaces the configured servers for the whole process: entries separated
// by CR, LF, commas or spaces. An empty text means "no server at all" (every
// query fails), not "back to resolv.conf": that is kelClearDnsServersOverride.
void kelSetDnsServersOverride(const char* servers) noexcept;
void kelClearDnsServersOverride() noexcept;
// The override text, and whether one is set (tests restore what they found).
bool kelDnsServersOverride(std::string& servers);
