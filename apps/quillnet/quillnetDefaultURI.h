#pragma once
// The URI a first start offers: rtp to this machine's first private IPv4
// interface address (10/8, 172.16/12, 192.168/16), port 5006, so that the
// receiving side can be given the same URI; 127.0.0.1 when the machine has
// no private address.

#include "core/kelTypes.h"

#include <cstdint>
#include <vector>

inline constexpr uint16_t quillnetDefaultPort = 5006;

// Host-order IPv4 address in one of the private ranges.
bool quillnetIsPrivateIPv4(uint32_t address) noexcept;
// The URI for the first private address of `addresses` (host order, in
// interface order), or for 127.0.0.1.
kelString quillnetDefaultURIFor(const std::vector<uint32_t>& addresses);
// The IPv4 addresses of the machine's interfaces that are up, in the order
// the system lists them; empty when they cannot be read.
std::vector<uint32_t> quillnetInterfaceAddresses();
// quillnetDefaultURIFor(quillnetInterfaceAddresses()).
kelString quillnetDefaultURI();
